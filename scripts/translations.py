#!/usr/bin/env python3
"""Keeps the window's .ts files in step with its sources and checks that they are complete.

    translations.py update   rereads src/ui and adds new texts to src/ui/translations/*.ts
    translations.py check    exit 1, with one line per text, when a window text has no
                             translation in some language (a new tr() not yet translated, or
                             one left unfinished); exit 77 when lupdate is not installed

The check runs lupdate on copies, so the tree is never changed by it.
"""

import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [ROOT / "src/ui/window", ROOT / "src/ui/dialogs"]
TS_DIR = ROOT / "src/ui/translations"
LUPDATE_PLACES = ["/usr/lib/qt6/bin/lupdate", "lupdate6", "lupdate"]


def find_lupdate():
    for place in LUPDATE_PLACES:
        found = shutil.which(place)
        if found:
            return found
    return None


def run_lupdate(lupdate, ts_files):
    command = [lupdate, "-silent", "-no-obsolete", "-locations", "none", "-I", str(ROOT / "src")]
    command += [str(path) for path in SOURCES] + ["-ts"] + [str(path) for path in ts_files]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def missing(ts_file):
    """Texts of one .ts file without a finished, non-empty translation."""
    problems = []
    for context in ET.parse(ts_file).getroot().iter("context"):
        name = context.findtext("name")
        for message in context.iter("message"):
            source = message.findtext("source")
            translation = message.find("translation")
            forms = translation.findall("numerusform") if translation is not None else []
            texts = [form.text for form in forms] if forms else [translation.text if translation is not None else None]
            unfinished = translation is None or translation.get("type") in ("unfinished", "vanished", "obsolete")
            if unfinished or not all(text and text.strip() for text in texts):
                problems.append(f"{ts_file.name}: {name}: {source!r}")
    return problems


def main(argv):
    if len(argv) != 2 or argv[1] not in ("update", "check"):
        print(__doc__, file=sys.stderr)
        return 2
    lupdate = find_lupdate()
    if lupdate is None:
        print("skipped: lupdate not installed (Debian package qt6-l10n-tools)")
        return 77
    ts_files = sorted(TS_DIR.glob("*.ts"))
    if not ts_files:
        print(f"no .ts files in {TS_DIR}", file=sys.stderr)
        return 1
    if argv[1] == "update":
        run_lupdate(lupdate, ts_files)
        return 0
    with tempfile.TemporaryDirectory() as scratch:
        copies = [Path(shutil.copy(path, scratch)) for path in ts_files]
        run_lupdate(lupdate, copies)
        problems = [line for copy in copies for line in missing(copy)]
    for line in problems:
        print(f"not translated: {line}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
