#!/bin/sh
# Installs the Debian packages that building, testing and running Tarvik need, when missing.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
qt6-base-dev nlohmann-json3-dev xvfb xauth python3 python3-jsonschema iproute2 procps nmap
libsystemd-dev libnftables-dev nftables clang libbpf-dev bpftool dbus-daemon
qt6-tools-dev qt6-l10n-tools"
# `install-deps.sh package`: also what checks the Debian packages.
if [ "${1:-}" = "package" ]; then
    PACKAGES="$PACKAGES lintian desktop-file-utils"
fi
# `install-deps.sh fuzz`: also clang's runtimes, libFuzzer's among them.
if [ "${1:-}" = "fuzz" ]; then
    PACKAGES="$PACKAGES libclang-rt-14-dev"
fi
# `install-deps.sh bench`: also scanlogd, the peer bench_scanflood runs beside tarvikd over the
# same forged flood (the bench starts and stops it itself).
if [ "${1:-}" = "bench" ]; then
    PACKAGES="$PACKAGES scanlogd"
fi

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
