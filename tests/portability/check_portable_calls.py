#!/usr/bin/env python3
"""Fails when a shared file uses a call, flag, path or command only Linux has.

usage: check_portable_calls.py <banned list> [--linux-only <script list>] <folder>...

C, C++ and Objective-C sources not named for a platform must not use the
listed calls. Shell scripts (*.sh, *.sh.in, or a shell shebang) and the
string literals of C, C++ and Objective-C sources, macOS ones included, must
not run the listed GNU-only commands, unless they are Linux-only: named
*_linux*, kept in a linux/ folder, or named in the script list.

Prints one line per finding, "<file>:<line>: <what> (use: <instead>)", and
exits 1 when there is any, 0 when there is none.
"""
import collections
import os
import re
import sys

Banned = collections.namedtuple("Banned", "kind regex pattern instead example")

SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hpp", ".m", ".mm")
SCRIPT_SUFFIXES = (".sh", ".sh.in")
SHELL_SHEBANG = re.compile(r"#!\s*(/usr/bin/env\s+)?(/usr)?(/bin/)?(ba|da|z)?sh\b")
PLATFORM_NAME = re.compile(r"_(linux|mac|x11)(_test)?\.[A-Za-z]+$")
PLATFORM_FOLDERS = {"linux", "mac"}
LINUX_NAME = re.compile(r"_(linux|x11)(?![a-z])")
SKIPPED_FOLDERS = {"build", ".git", "corpus"}

COMMAND_PREFIX = "command: "
# Words of one simple command: "{_}" is the gap between two words (a line
# continuation included), "{args}" any words before the one a pattern names.
GAP = r"(?:[ \t]|\\\n)+"
ARGS = r"(?:" + GAP + r"[^\s;&|()`<>]+)*?"
# Where a command starts: a line, or after an operator, a bracket, a quote
# (an "sh -c" argument) or a backquote, behind assignments and the words that
# run the next one (exec, env, then, ...).
COMMAND_POSITION = (
    r"(?:^|[;&|()}`!\"']|(?<!\$)\{)[ \t]*"
    r"(?:(?:exec|command|nohup|then|do|else|elif|if|while|until|time|!|"
    r"env(?:[ \t]+(?:-u[ \t]+\S+|-\S+))*|xargs(?:[ \t]+-\S+)*|sudo(?:[ \t]+-\S+)*|[A-Za-z_]\w*=\S*)[ \t]+)*"
    r"(?:(?:/usr)?/s?bin/)?")


def read_banned(path):
    banned = []
    with open(path, encoding="utf-8") as listing:
        for line in listing:
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            kind = "call"
            if line.startswith(COMMAND_PREFIX):
                kind, line = "command", line[len(COMMAND_PREFIX):]
            pattern, _, rest = line.partition(" # ")
            instead, _, example = rest.partition(" # ")
            if kind == "command":
                expanded = pattern.replace("{args}", ARGS).replace("{_}", GAP)
                regex = re.compile(COMMAND_POSITION + "(?P<command>" + expanded + ")", re.M)
            else:
                regex = re.compile(pattern)
            banned.append(Banned(kind, regex, pattern, instead.strip(), example.strip()))
    return banned


def read_linux_only(path):
    with open(path, encoding="utf-8") as listing:
        return [line.strip() for line in listing if line.strip() and not line.startswith("#")]


def folders_of(path):
    return path.replace(os.sep, "/").split("/")[:-1]


def is_shared(path):
    """Neither named for a platform nor in a platform's folder."""
    if PLATFORM_NAME.search(os.path.basename(path)):
        return False
    return not any(part in PLATFORM_FOLDERS for part in folders_of(path))


def is_linux_only(path, linux_only):
    if LINUX_NAME.search(os.path.basename(path)) or "linux" in folders_of(path):
        return True
    slashed = "/" + path.replace(os.sep, "/")
    return any(slashed.endswith("/" + listed) for listed in linux_only)


def is_script(path):
    name = os.path.basename(path)
    if name.endswith(SCRIPT_SUFFIXES):
        return True
    if "." in name:
        return False
    try:
        with open(path, "rb") as start:
            return bool(SHELL_SHEBANG.match(start.readline(200).decode("utf-8", "replace")))
    except OSError:
        return False


def raw_string_start(text, quote):
    """The delimiter when the quote at `quote` opens a raw string literal."""
    start = quote
    while start > 0 and (text[start - 1].isalnum() or text[start - 1] == "_"):
        start -= 1
    if text[start:quote] not in ("R", "u8R", "uR", "UR", "LR"):
        return None
    match = re.compile(r'"([^()\\\s]{0,16})\(').match(text, quote)
    return match.group(1) if match else None


def is_digit_separator(text, quote):
    start = quote
    while start > 0 and (text[start - 1].isalnum() or text[start - 1] in "_.'"):
        start -= 1
    return start < quote and text[start].isdigit()


def split_source(text):
    """The text without its comments, and its string literals.

    Comments become blanks with their line feeds kept, so line numbers stay
    true; literals stay in the text. Literals are read before comments, so
    "dir/*.txt" opens no comment, and each is returned as (line, content).
    """
    out = []
    literals = []
    line = 1
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = i
            while end < n and text[end] != "\n":
                end += 2 if text.startswith("\\\n", end) else 1
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            line += text.count("\n", i, end)
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            line += text.count("\n", i, end)
            i = end
        elif c == '"':
            delimiter = raw_string_start(text, i)
            if delimiter is not None:
                body = i + len(delimiter) + 2
                close = text.find(")" + delimiter + '"', body)
                close = n if close < 0 else close
                end = min(n, close + len(delimiter) + 2)
                literals.append((line, text[body:close], True))
            else:
                end = i + 1
                while end < n and text[end] not in '"\n':
                    end += 2 if text[end] == "\\" else 1
                end = min(n, end + 1)
                literals.append((line, text[i + 1:end - 1], False))
            out.append(text[i:end])
            line += text.count("\n", i, end)
            i = end
        elif c == "'" and not is_digit_separator(text, i):
            end = i + 1
            while end < n and text[end] not in "'\n":
                end += 2 if text[end] == "\\" else 1
            end = min(n, end + 1)
            out.append(text[i:end])
            line += text.count("\n", i, end)
            i = end
        else:
            out.append(c)
            line += c == "\n"
            i += 1
    return "".join(out), literals


# A literal's escapes as the shell receives them, each kept two characters
# wide so that offsets stay those of the source.
ESCAPES = {"n": ";\n", "t": "  ", "r": "  ", '"': ' "', "'": " '", "\\": " \\"}


def literal_as_shell(content, raw):
    if raw:
        return content
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(0)), content, flags=re.S)


HEREDOC = re.compile(r"<<(-?)[ \t]*(['\"]?)([A-Za-z_]\w*)\2")


def without_shell_comments(text):
    """The shell text with its comments blanked, everything else in place.

    Quotes are followed so that a "#" inside them is text; here-document
    bodies are kept as they are.
    """
    out = list(text)
    quote = None
    pending = []
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if quote == "'":
            quote = None if c == "'" else quote
            i += 1
        elif quote == '"':
            if c == "\\":
                i += 2
                continue
            quote = None if c == '"' else quote
            i += 1
        elif c == "\\":
            i += 2
        elif c in "'\"":
            quote = c
            i += 1
        elif c == "#" and (i == 0 or text[i - 1] in " \t\n;&|()"):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out[i:end] = " " * (end - i)
            i = end
        elif text.startswith("<<", i) and not text.startswith("<<<", i) and HEREDOC.match(text, i):
            match = HEREDOC.match(text, i)
            pending.append((match.group(3), match.group(1) == "-"))
            i = match.end()
        elif c == "\n" and pending:
            i += 1
            for word, tabs in pending:
                while i < n:
                    end = text.find("\n", i)
                    end = n if end < 0 else end
                    body_line = text[i:end]
                    i = end + 1
                    if (body_line.lstrip("\t") if tabs else body_line) == word:
                        break
            pending = []
        else:
            i += 1
    return "".join(out)


def is_member_call(line, start):
    # list.splice(...) is a method of a class, not the system call.
    before = line[:start].rstrip()
    return before.endswith(".") or before.endswith("->")


def command_findings(commands, shell_text, line_of):
    code = without_shell_comments(shell_text)
    for entry in commands:
        for match in entry.regex.finditer(code):
            yield line_of(match.start("command")), entry


def finding(path, number, entry):
    what = entry.pattern if entry.kind == "call" else "command only Linux has, as in `%s`" % entry.example
    return "%s:%d: %s (use: %s)" % (path, number, what, entry.instead)


def source_findings(path, banned):
    with open(path, encoding="utf-8", errors="replace") as source:
        code, literals = split_source(source.read())
    found = []
    if is_shared(path):
        lines = code.split("\n")
        for number, line in enumerate(lines, 1):
            for entry in banned:
                if entry.kind == "call" and any(
                        not is_member_call(line, m.start()) for m in entry.regex.finditer(line)):
                    found.append((number, entry))
    commands = [entry for entry in banned if entry.kind == "command"]
    for first, content, raw in literals:
        text = literal_as_shell(content, raw)
        found.extend(command_findings(
            commands, text, lambda offset: first + content.count("\n", 0, offset)))
    return found


def script_findings(path, banned):
    with open(path, encoding="utf-8", errors="replace") as script:
        text = script.read()
    commands = [entry for entry in banned if entry.kind == "command"]
    return list(command_findings(commands, text, lambda offset: 1 + text.count("\n", 0, offset)))


def findings(banned, folders, linux_only=()):
    for folder in folders:
        for root, dirs, files in os.walk(folder):
            dirs[:] = sorted(d for d in dirs if d not in SKIPPED_FOLDERS)
            for name in sorted(files):
                path = os.path.join(root, name)
                if name.endswith(SOURCE_SUFFIXES):
                    found = [] if is_linux_only(path, ()) else source_findings(path, banned)
                elif is_script(path) and not is_linux_only(path, linux_only):
                    found = script_findings(path, banned)
                else:
                    continue
                for number, entry in sorted(found, key=lambda f: f[0]):
                    yield finding(path, number, entry)


def main(argv):
    args = argv[1:]
    linux_only = []
    if len(args) >= 2 and args[1] == "--linux-only":
        linux_only = read_linux_only(args[2])
        del args[1:3]
    if len(args) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    found = list(findings(read_banned(args[0]), args[1:], linux_only))
    for line in found:
        print(line)
    print("%d Linux-only uses in shared files" % len(found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
