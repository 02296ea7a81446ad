#!/usr/bin/env python3
"""Fails when a shared source file uses a call, flag or path only Linux has.

usage: check_portable_calls.py <banned list> <folder>...

Prints one line per finding, "<file>:<line>: <what> (use: <instead>)", and
exits 1 when there is any, 0 when there is none.
"""
import collections
import os
import re
import sys

Banned = collections.namedtuple("Banned", "regex pattern instead example")

SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hpp", ".m", ".mm")
PLATFORM_NAME = re.compile(r"_(linux|mac|x11)(_test)?\.[A-Za-z]+$")
PLATFORM_FOLDERS = {"linux", "mac"}
SKIPPED_FOLDERS = {"build", ".git", "corpus"}


def read_banned(path):
    banned = []
    with open(path, encoding="utf-8") as listing:
        for line in listing:
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            pattern, _, rest = line.partition(" # ")
            instead, _, example = rest.partition(" # ")
            banned.append(Banned(re.compile(pattern), pattern, instead.strip(), example.strip()))
    return banned


def is_shared(path):
    if PLATFORM_NAME.search(os.path.basename(path)):
        return False
    parts = path.replace(os.sep, "/").split("/")
    return not any(part in PLATFORM_FOLDERS for part in parts[:-1])


def without_comments(text):
    # Block comments keep their line feeds, so line numbers stay true.
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"(^|[^:\"])//.*", r"\1", text)


def is_member_call(line, start):
    # list.splice(...) is a method of a class, not the system call.
    before = line[:start].rstrip()
    return before.endswith(".") or before.endswith("->")


def findings(banned, folders):
    for folder in folders:
        for root, dirs, files in os.walk(folder):
            dirs[:] = sorted(d for d in dirs if d not in SKIPPED_FOLDERS)
            for name in sorted(files):
                path = os.path.join(root, name)
                if not name.endswith(SOURCE_SUFFIXES) or not is_shared(path):
                    continue
                with open(path, encoding="utf-8", errors="replace") as source:
                    lines = without_comments(source.read()).split("\n")
                for number, line in enumerate(lines, 1):
                    for entry in banned:
                        if any(not is_member_call(line, m.start()) for m in entry.regex.finditer(line)):
                            yield "%s:%d: %s (use: %s)" % (path, number, entry.pattern, entry.instead)


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    found = list(findings(read_banned(argv[1]), argv[2:]))
    for line in found:
        print(line)
    print("%d Linux-only uses in shared files" % len(found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
