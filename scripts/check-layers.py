#!/usr/bin/env python3
"""Checks that every #include under src/ points down the layers, never up or sideways.

    base <- acquisition <- tracking <- lookup, logging, mail, scan <- ui/model, app, ui
    base <- settings <- tracking
    base <- workers <- tracking

The worker runtime (threads, typed inboxes, the hub) sits below every domain folder, so that a
service reaches the worker base class without going through the tracker.

The folders build into static libraries, and a static library links whatever it includes, so
a wrong include would not fail any link: this check is what keeps the direction.

Usage: check-layers.py [SRC_DIR]     exit 1 and one line per wrong include
       check-layers.py --self-test   shows that a planted wrong include is caught
"""

import re
import sys
import tempfile
from pathlib import Path

_BELOW_TRACKING = {"base", "workers", "acquisition", "settings", "tracking"}
_SERVICES = {"lookup", "logging", "mail", "scan"}

# What each folder may include, besides itself.
ALLOWED = {
    "base": set(),
    "workers": {"base"},
    "acquisition": {"base"},
    "settings": {"base"},
    "tracking": {"base", "workers", "acquisition", "settings"},
    "lookup": _BELOW_TRACKING,
    "logging": _BELOW_TRACKING,
    "mail": _BELOW_TRACKING,
    "scan": _BELOW_TRACKING | {"mail"},
    "ui/model": _BELOW_TRACKING | _SERVICES,
    "app": _BELOW_TRACKING | _SERVICES,
    "ui": _BELOW_TRACKING | _SERVICES | {"ui/model", "app"},
}

_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
_SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c", ".inc"}


def layer_of(relative: str) -> str | None:
    """The layer of a path relative to src/ ("ui/model/X.h" -> "ui/model"), None if none."""
    parts = relative.split("/")
    if len(parts) < 2:
        return None
    if parts[0] == "ui":
        return "ui/model" if parts[1] == "model" else "ui"
    return parts[0] if parts[0] in ALLOWED else None


def violations(src: Path) -> list[str]:
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in _SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(src).as_posix()
        layer = layer_of(relative)
        if layer is None:
            continue
        try:
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        except OSError as error:
            found.append(f"{relative}: cannot read: {error.strerror}")
            continue
        for number, line in enumerate(lines, start=1):
            match = _INCLUDE.match(line)
            if not match:
                continue
            target = layer_of(match.group(1))
            # Includes outside the layers (generated Qt headers, local names) are not ours.
            if target is None or target == layer or target in ALLOWED[layer]:
                continue
            found.append(
                f"{relative}:{number}: {layer} may not include {match.group(1)} "
                f"({target} is not below it)"
            )
    return found


def self_test() -> int:
    with tempfile.TemporaryDirectory() as folder:
        src = Path(folder)
        files = {
            "base/UniqueFd.h": "#pragma once\n",
            "settings/Store.h": '#include "base/UniqueFd.h"\n',
            "workers/Hub.h": '#include "base/UniqueFd.h"\n',
            "tracking/Tracker.h": '#include "settings/Store.h"\n#include "workers/Hub.h"\n'
            '#include "ui_Generated.h"\n',
            "ui/window/View.cpp": '#include "tracking/Tracker.h"\n#include "ui/model/Rows.h"\n',
        }
        for name, text in files.items():
            (src / name).parent.mkdir(parents=True, exist_ok=True)
            (src / name).write_text(text)
        if violations(src):
            print("self-test: a clean tree was reported", file=sys.stderr)
            return 1
        (src / "settings/Store.cpp").write_text('#include "settings/Store.h"\n'
                                                 '  #  include "tracking/Tracker.h"\n')
        (src / "workers/Inbox.h").write_text('#include "acquisition/Record.h"\n')
        (src / "ui/model").mkdir()
        (src / "ui/model/Rows.h").write_text('#include "app/Ticker.h"\n')
        found = violations(src)
        expected = ["settings/Store.cpp:2:", "ui/model/Rows.h:1:", "workers/Inbox.h:1:"]
        if [line.split(" ")[0] for line in found] != expected:
            print("self-test: wanted " + ", ".join(expected) + "; got:", file=sys.stderr)
            print("\n".join(found), file=sys.stderr)
            return 1
    print("self-test: planted wrong includes are reported")
    return 0


def main(argv: list[str]) -> int:
    if argv[1:] == ["--self-test"]:
        return self_test()
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    if not src.is_dir():
        print(f"check-layers: {src} is not a folder", file=sys.stderr)
        return 2
    found = violations(src)
    for line in found:
        print(line)
    if found:
        print(f"check-layers: {len(found)} include(s) against the layer order", file=sys.stderr)
        return 1
    print(f"check-layers: every include under {src} points down the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
