#!/usr/bin/env python3
"""Checks the two Debian packages that `make package` builds.

    check-packages.py DIR    exit 1 with one line per fault; exit 77 when DIR holds no
                             packages yet or dpkg-deb is missing

The monitor package must not need Qt: its Depends names no Qt package, its programs link no
Qt library, and it installs with dpkg into a scratch root whose package list is this
machine's without any Qt package (its maintainer scripts run there, on the scratch root
alone). The window package must depend on its Qt libraries and recommend the monitor.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

QT = re.compile(r"(^|[\s,|])(libqt6|qt6-)", re.IGNORECASE)
MONITOR_FILES = [
    "usr/bin/tarvikd",
    "usr/bin/tarvikctl",
    "usr/lib/systemd/system/tarvikd.service",
    "usr/lib/systemd/system/tarvikd.socket",
    "usr/lib/sysusers.d/tarvik.conf",
    "etc/tarvik/Tarvik.conf",
    "usr/share/man/man8/tarvikd.8.gz",
    "usr/share/man/man1/tarvikctl.1.gz",
    "usr/share/doc/tarvikd/copyright",
    "usr/share/doc/tarvikd/README.md",
    "usr/share/doc/tarvikd/fleet.md",
    "usr/share/doc/tarvikd/tarvik-list.schema.json",
]
WINDOW_FILES = [
    "usr/bin/tarvik",
    "usr/share/applications/tarvik.desktop",
    "usr/share/man/man1/tarvik.1.gz",
    "usr/share/doc/tarvik/copyright",
    "usr/share/tarvik/translations/tarvik_de.qm",
    "usr/share/tarvik/translations/tarvik_et.qm",
]


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", str(deb), name], check=True, capture_output=True,
                          text=True).stdout.strip()


def contents(deb):
    listing = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True, capture_output=True,
                             text=True).stdout
    return {line.split()[5].lstrip("./").split(" -> ")[0] for line in listing.splitlines()}


def needed_libraries(program):
    dynamic = subprocess.run(["readelf", "-d", str(program)], check=True, capture_output=True,
                             text=True).stdout
    return re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)


def status_without_qt():
    """This machine's dpkg status with every Qt package left out."""
    stanzas = Path("/var/lib/dpkg/status").read_text().split("\n\n")
    kept = [s for s in stanzas if not re.match(r"Package: (libqt6|qt6-)", s)]
    return "\n\n".join(kept)


def install_in_scratch_root(deb, faults):
    with tempfile.TemporaryDirectory() as root:
        admin = Path(root, "var/lib/dpkg")
        for folder in ("info", "updates", "triggers"):
            (admin / folder).mkdir(parents=True)
        (admin / "status").write_text(status_without_qt())
        Path(root, "usr/lib").mkdir(parents=True)
        os.symlink("usr/lib", Path(root, "lib"))  # merged /usr, as on Debian 12
        # Debian's way to keep a root's installs from starting services on this machine.
        policy = Path(root, "usr/sbin/policy-rc.d")
        policy.parent.mkdir(parents=True)
        policy.write_text("#!/bin/sh\nexit 101\n")
        policy.chmod(0o755)
        result = subprocess.run(
            ["dpkg", f"--root={root}", "--force-script-chrootless", "--no-triggers", "--install",
             str(deb)], capture_output=True, text=True)
        if result.returncode != 0:
            faults.append(f"{deb.name} does not install without Qt: {result.stderr.strip()}")
            return
        for program, option in (("tarvikd", "--version"), ("tarvikctl", "--help")):
            run = subprocess.run([str(Path(root, "usr/bin", program)), option],
                                 capture_output=True, text=True)
            if run.returncode != 0:
                faults.append(f"installed {program} {option} failed: {run.stderr.strip()}")
        group = Path(root, "etc/group")
        if not group.exists() or not re.search(r"^tarvik:", group.read_text(), re.MULTILINE):
            faults.append("the monitor's postinst made no group tarvik in the scratch root")


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    folder = Path(argv[1])
    monitor = sorted(folder.glob("tarvikd_*.deb"))
    window = sorted(folder.glob("tarvik_*.deb"))
    if not monitor or not window:
        print(f"skipped: no tarvikd_*.deb and tarvik_*.deb in {folder} (make package builds them)")
        return 77
    for tool in ("dpkg-deb", "dpkg", "readelf"):
        if shutil.which(tool) is None:
            print(f"skipped: {tool} not installed")
            return 77
    monitor, window = monitor[-1], window[-1]
    faults = []

    depends = field(monitor, "Depends")
    if QT.search(depends) or re.search(r"(^|[\s,|])tarvik([\s,(|]|$)", depends):
        faults.append(f"{monitor.name} depends on Qt or the window: {depends}")
    files = contents(monitor)
    faults += [f"{monitor.name} lacks {path}" for path in MONITOR_FILES if path not in files]
    if "usr/bin/tarvik" in files:
        faults.append(f"{monitor.name} carries the window program")
    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(["dpkg-deb", "-x", str(monitor), unpacked], check=True)
        for program in ("tarvikd", "tarvikctl"):
            qt = [lib for lib in needed_libraries(Path(unpacked, "usr/bin", program))
                  if lib.startswith("libQt")]
            if qt:
                faults.append(f"{program} links {', '.join(qt)}")
    if os.geteuid() == 0:
        install_in_scratch_root(monitor, faults)
    else:
        print("note: not root, so the monitor package is not installed in a scratch root")

    files = contents(window)
    faults += [f"{window.name} lacks {path}" for path in WINDOW_FILES if path not in files]
    if "usr/bin/tarvikd" in files:
        faults.append(f"{window.name} carries the monitor program")
    if "libqt6widgets6" not in field(window, "Depends"):
        faults.append(f"{window.name} does not depend on libqt6widgets6")
    if not re.search(r"(^|[\s,])tarvikd([\s,(]|$)", field(window, "Recommends")):
        faults.append(f"{window.name} does not recommend tarvikd")

    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
