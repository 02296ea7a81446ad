#!/usr/bin/env python3
"""The wall check finds every kind of crossing and passes what is allowed."""
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from check_walls import violations  # noqa: E402

# (file, its text, whether the check must refuse it)
CASES = [
    ("src/logic/controller/a.cpp", '#include "splash/window/mac_splash.h"\n', True),
    ("src/utils/platform/b.mm", "#import <AppKit/AppKit.h>\n", True),
    ("src/net/c.h", "#include <Cocoa/Cocoa.h>\n", True),
    ("lib/sitemark/d.cpp", '#include "utils/settings.h"\n', True),
    ("lib/sitemark/e.cpp", '  #  include "logic/tracker/events.h"\n', True),
    ("src/splash/window/f.mm", "#import <AppKit/AppKit.h>\n", False),
    ("src/splash/g.cpp", '#include "splash/window/mac_splash.h"\n', False),
    ("src/installer/h.mm", "#import <Cocoa/Cocoa.h>\n", False),
    ("lib/sitemark/i.cpp", '#include "external/plist.h"\n#include "sitemark/curl.h"\n', False),
    ("src/logic/j.cpp", "#include <Foundation/Foundation.h>\n", False),
    ("src/logic/k.cpp", "int x;\n" * 601, True),
    ("src/logic/l.cpp", "int x;\n\n" * 600, False),
    ("src/logic/m_test.cpp", "int x;\n" * 700, False),
]


def main():
    failures = 0
    for name, text, refused in CASES:
        with tempfile.TemporaryDirectory() as root:
            path = pathlib.Path(root) / name
            path.parent.mkdir(parents=True)
            path.write_text(text)
            found = violations(root)
        if bool(found) != refused:
            print(f"{name}: expected {'a refusal' if refused else 'no refusal'}, got {found}")
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
