#!/usr/bin/env python3
"""Fails when an include crosses a wall between the program's layers.

Only the splash module and the program's entry (src/splash, src/installer)
may include the window's headers or AppKit; libSitemark, which is shipped
and loaded on its own, may use nothing of src/ but the external layer. No
source file of the program (tests aside) grows past 600 non-blank lines: a
room that large holds more than one responsibility.

Usage: check_walls.py <source root>
Prints one line per include that crosses a wall and exits 1 when there is one.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*(?:include|import)\s*([<"])([^>"]+)[>"]', re.MULTILINE)
SOURCE_SUFFIXES = {".h", ".hpp", ".c", ".cc", ".cpp", ".m", ".mm"}
# Top folders of src/: a quoted include starting with one of them is ours.
SRC_LAYERS = ("external", "installer", "localization", "logic", "net", "splash", "utils")
WINDOW_ALLOWED = ("src/splash/", "src/installer/")
MOST_LINES = 600


def is_window_header(name, bracket):
    if bracket == "<":
        return name.split("/")[0] in ("AppKit", "Cocoa")
    return name.startswith("splash/window/")


def violations(root):
    root = pathlib.Path(root)
    found = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        if not relative.startswith(("src/", "lib/")):
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        lines = sum(1 for line in text.splitlines() if line.strip())
        if lines > MOST_LINES and not path.stem.endswith("_test"):
            found.append(f"{relative}: {lines} non-blank lines, more than {MOST_LINES}")
        for match in INCLUDE.finditer(text):
            bracket, name = match.group(1), match.group(2)
            line = text.count("\n", 0, match.start()) + 1
            where = f"{relative}:{line}: {name}"
            if is_window_header(name, bracket) and not relative.startswith(WINDOW_ALLOWED):
                found.append(f"{where}: window and AppKit headers belong to src/splash and src/installer")
            if (relative.startswith("lib/sitemark/") and bracket == '"'
                    and name.split("/")[0] in SRC_LAYERS and not name.startswith("external/")):
                found.append(f"{where}: libSitemark uses nothing of src/ but src/external")
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = violations(sys.argv[1])
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
