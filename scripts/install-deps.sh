#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing, so running it again costs one dpkg query.
#   scripts/install-deps.sh            build and test packages
#   scripts/install-deps.sh bench      also the peers the benchmarks compare with
#   scripts/install-deps.sh package    also the tools that build and check the
#                                      Debian package, manual pages, desktop
#                                      entry and service unit, and lintian
#   scripts/install-deps.sh screenshots  also the window manager that frames
#                                      the console's windows for their pictures
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libgl-dev
    libedit-dev
    xvfb xauth
)
if [ "${1:-}" = "bench" ]; then
    packages+=(vsftpd nginx-light iperf3 curl gnuplot-nox fonts-dejavu-core procps iproute2)
fi
if [ "${1:-}" = "package" ]; then
    # groff-base renders the manual pages without groff's X11 parts;
    # systemd brings systemd-analyze, which checks the service unit offline;
    # lintian checks the package as Debian's archive would.
    packages+=(dpkg-dev groff-base desktop-file-utils systemd lintian)
fi

if [ "${1:-}" = "screenshots" ]; then
    packages+=(openbox fonts-dejavu-core)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
