#!/usr/bin/env python3
"""The portability check finds every listed use in a shared file, and only there.

usage: check_portable_calls_test.py <banned list>
"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_portable_calls as check  # noqa: E402


def write(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def main(argv):
    banned = check.read_banned(argv[1])
    failures = []
    if not all(entry.example for entry in banned):
        failures.append("an entry of the list has no example")
    with tempfile.TemporaryDirectory() as folder:
        examples = [entry.example for entry in banned]
        # Each example in a shared file, once in code and once in a comment.
        write(os.path.join(folder, "src", "shared.cpp"),
              examples + ["// " + e for e in examples] + ["/* " + e + " */" for e in examples] +
              ["pending.splice(pending.end(), queue);", "self->sendfile(x);"])
        write(os.path.join(folder, "src", "shared.h"), examples[:1])
        # The same in files and folders named for their platform.
        for name in ("thing_linux.cpp", "thing_mac.mm", "thing_linux_test.cpp",
                     "display_x11.cpp", "linux/inside.cpp", "mac/inside.cpp"):
            write(os.path.join(folder, "src", name), examples)
        found = list(check.findings(banned, [folder]))
        in_shared = [line for line in found if "/shared.cpp:" in line]
        for number, entry in enumerate(banned, 1):
            line = "%s:%d: %s " % (os.path.join(folder, "src", "shared.cpp"), number, entry.pattern)
            if not any(f.startswith(line) for f in in_shared):
                failures.append("not found in a shared file: " + entry.example)
        expected = len(banned) + 1  # every example once, and shared.h
        if len(found) != expected:
            failures.append("%d findings instead of %d:\n  %s" % (len(found), expected, "\n  ".join(found)))
    for failure in failures:
        print("FAIL: " + failure)
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
