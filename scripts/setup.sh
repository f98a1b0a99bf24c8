#!/usr/bin/env bash
# Installs what building, running and testing the updater needs on Debian 12.
# Run as root; packages already present are not fetched again.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    libqt5sql5-sqlite libqt5sql5-psql postgresql
    xvfb xauth fonts-dejavu-core fonts-liberation2
    clang libclang-rt-14-dev clang-format
    binutils-mingw-w64-x86-64
    dpkg-dev file fakeroot lintian desktop-file-utils
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
