#!/usr/bin/env bash
# Installs everything the KRVDLC builds and tests need on Debian 12, by package name.
# Idempotent: when every package is already installed it touches nothing and returns at once.
# Run as root (the CI and the development machines run as root).
set -euo pipefail

PACKAGES=(
    build-essential
    cmake
    ninja-build
    g++-multilib
    g++-mingw-w64-i686
    mingw-w64-i686-dev
    binutils-mingw-w64-i686
    googletest
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    valgrind
    qemu-user
    libpcap-dev
    libtomlplusplus-dev
    iproute2
    tshark
    python3
    binutils
    file
    clang
    libclang-rt-14-dev
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    if [ "$status" != "installed" ]; then
        missing+=("$pkg")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    echo "setup: all ${#PACKAGES[@]} packages present"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether ordinary users may capture; they need not (it only reads files here).
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update
apt-get install -y --no-install-recommends "${PACKAGES[@]}"
echo "setup: done"
