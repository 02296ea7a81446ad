#!/usr/bin/env python3
"""The portability check finds every listed use where it counts, and only there.

usage: check_portable_calls_test.py <banned list>

Every entry's example is planted in a tree of files, each file with the lines
at which the check must report something; any other report, or a missing
one, fails.
"""
import os
import sys
import tempfile

# The source tree gets no bytecode cache from this import.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_portable_calls as check  # noqa: E402


def cxx_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def planted(banned):
    """(file, lines, expected line numbers) for the entries of the list."""
    calls = [entry.example for entry in banned if entry.kind == "call"]
    commands = [entry.example for entry in banned if entry.kind == "command"]
    run_lines = ["run({\"/bin/sh\", \"-c\", %s});" % cxx_string(e) for e in commands]
    everywhere = list(range(1, len(calls) + len(run_lines) + 1))
    only_commands = list(range(len(calls) + 1, len(calls) + len(run_lines) + 1))
    script = ["#!/bin/sh"] + commands
    script_lines = list(range(2, len(commands) + 2))
    hidden_cxx = (["// " + e for e in calls + run_lines] +
                  ["/* " + e + " */" for e in calls + run_lines] +
                  ["/*", *calls, *run_lines, "*/"])
    hidden_sh = ["#!/bin/sh"] + ["# " + e for e in commands] + ["  # " + e for e in commands]
    return [
        # Shared sources: calls in code, commands in a string that runs them.
        ("src/shared.cpp", calls + run_lines, everywhere),
        ("src/shared.h", calls + run_lines, everywhere),
        ("src/shared.mm", calls + run_lines, everywhere),
        # Sources for macOS may make macOS calls, but run the same commands.
        ("src/thing_mac.mm", calls + run_lines, only_commands),
        ("src/mac/inside.cpp", calls + run_lines, only_commands),
        # Sources for Linux alone.
        ("src/thing_linux.cpp", calls + run_lines, []),
        ("src/thing_linux_test.cpp", calls + run_lines, []),
        ("src/display_x11.cpp", calls + run_lines, []),
        ("src/linux/inside.cpp", calls + run_lines, []),
        # Scripts: shared ones, macOS ones, a template, one known by its first line.
        ("tools/shared.sh", script, script_lines),
        ("resources/scripts/mac/install.sh", script, script_lines),
        ("examples/launcher.sh.in", script, script_lines),
        ("tools/no_extension", script, script_lines),
        # Scripts for Linux alone, and one in the list of Debian-only scripts.
        ("resources/scripts/linux/install.sh", script, []),
        ("tools/run_linux.sh", script, []),
        ("scripts/debian-only.sh", script, []),
        # Not a script at all.
        ("tools/notes.txt", script, []),
        # Comments hide everything.
        ("src/comments.cpp", hidden_cxx, []),
        ("tools/comments.sh", hidden_sh, []),
    ]


# Lines the check must read right: (file, lines, expected line numbers).
READING = [
    # A string holding "/*" opens no comment; a quote in a character literal
    # opens no string; a digit separator opens no character literal.
    ("src/strings.cpp", [
        'const char* glob = "dir/*.txt";',
        "int a = pipe2(fds, 0);",
        "char q = '\"'; // pipe2(fds, 0) in a comment",
        "int n = 1'000; // pipe2(fds, 0) in a comment",
        'const char* url = "http://host/"; int d = pipe2(fds, 0);',
        "/* \"*/ int e = pipe2(fds, 0);",
    ], [2, 5, 6]),
    # mount() with or without the global scope; a method or another name is not it.
    ("src/mounts.cpp", [
        'mount("tmpfs", where, "tmpfs", 0, options);',
        '::mount("tmpfs", where, "tmpfs", 0, options);',
        "umount(where);",
        "volume.mount(where);",
        "self->mount(where);",
        "remount(where);",
        "Mount(where);",
    ], [1, 2, 3]),
    # "timeout" and the like as words of C++ and of messages, not commands.
    ("src/words.cpp", [
        "const int timeout = 5;",
        "auto timeoutMs = std::chrono::milliseconds(timeout);",
        'LOG(INFO) << name << ": process interrupted by timeout";',
        'LOG(INFO) << "timeout while waiting for " << 5 << " s";',
        'LOG(INFO) << "flock failed for " << path;',
        'LOG(INFO) << "setsid failed";',
        'LOG(INFO) << "stat of " << path << " failed";',
        "if (::flock(fd, LOCK_EX) != 0 || setsid() < 0) {",
        'const char* sums = "sha256sum.txt";',
    ], []),
    # Commands inside a raw string (a script a test writes), after a line
    # feed escape, and behind env, exec and assignments.
    ("src/scripts.cpp", [
        'const char* script = R"(#!/bin/sh',
        "# timeout 5 in a comment of the script",
        "exec timeout 5 sleep 1",
        ')";',
        'run("sleep 1\\nmv -T a b");',
        'run("x=\\"$(nproc)\\"");',
        'run("HOME=/tmp env -u X timeout 3 true");',
    ], [3, 5, 6, 7]),
    # Portable forms, and commands the check must see through the shell.
    ("tools/forms.sh", [
        "#!/bin/sh",
        "sed -i.bak 's/a/b/' \"$file\"",
        "stat -f %u:%g \"$file\"",
        "mv \"$a\" \"$b\"",
        "jobs=$(getconf _NPROCESSORS_ONLN)",
        "sum=$(shasum -a 256 \"$f\")",
        "readlink \"$link\"",
        "date -u +%s",
        "timeout=5",
        "echo \"$timeout\" \"${nproc}\"",
        "find . -type l -print",
        "grep -E 'a|b' \"$log\"",
        "head -n 1 \"$file\"",
        "command -v sha256sum >/dev/null",
        "echo \"${x#*/}\"; sha256sum \"$f\"",
        "echo '# not a comment'; nproc",
        "if [ -n \"$a\" ]; then setsid \"$p\" & fi",
        "case $x in *) flock 9 ;; esac",
        "env -u A \\",
        "  HOME=/tmp \\",
        "  timeout --kill-after=10 \"$limit\" \"$program\"",
        "/usr/bin/sed -i 's/a/b/' \"$file\"",
        "ps -o pid= | xargs -r stat -c %s",
    ], [15, 16, 17, 18, 21, 22, 23]),
    # Here-documents are text, whatever their quotes; the script goes on after them.
    ("tools/heredoc.sh", [
        "#!/bin/sh",
        "cat <<'EOF'",
        "Usage: it's run by hand # not a comment",
        "EOF",
        "# not run: echo | timeout 5 cat",
        "cat >\"$out\" <<EOF",
        "timeout 5 \"$program\"",
        "EOF",
        "nproc",
    ], [7, 9]),
]


def write(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def main(argv):
    banned = check.read_banned(argv[1])
    failures = []
    if not all(entry.example for entry in banned):
        failures.append("an entry of the list has no example")
    if not any(entry.kind == "command" for entry in banned):
        failures.append("the list names no command")
    cases = planted(banned) + READING
    with tempfile.TemporaryDirectory() as folder:
        for name, lines, _ in cases:
            write(os.path.join(folder, name), lines)
        linux_only = ["scripts/debian-only.sh"]
        found = {}
        for line in check.findings(banned, [folder], linux_only):
            path, number, _ = line.split(":", 2)
            found.setdefault(os.path.relpath(path, folder), []).append(int(number))
        for name, _, expected in cases:
            reported = sorted(found.pop(name, []))
            if reported != sorted(expected):
                failures.append("%s: reported at lines %s, expected %s" % (name, reported, expected))
        for name, numbers in found.items():
            failures.append("%s: reported at lines %s, expected nothing" % (name, numbers))
        # Each entry finds its own example, and no other entry's.
        for entry in banned:
            lines = [e.example for e in banned if e.kind == entry.kind]
            name = os.path.join(folder, "single", "x.cpp" if entry.kind == "call" else "x.sh")
            write(name, lines if entry.kind == "call" else ["#!/bin/sh"] + lines)
            numbers = [int(f.split(":", 2)[1]) for f in check.findings([entry], [os.path.dirname(name)])]
            own = lines.index(entry.example) + (1 if entry.kind == "call" else 2)
            if numbers != [own]:
                failures.append("%s finds lines %s of its list's examples, expected only %d" %
                                (entry.pattern, numbers, own))
            os.remove(name)
    for failure in failures:
        print("FAIL: " + failure)
    print("%d cases, %d entries, %d failures" % (len(cases), len(banned), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
