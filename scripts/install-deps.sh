#!/usr/bin/env bash
# Installs the Debian packages the tool, its tests and its tooling need, or
# those named as arguments. Only what is missing is installed, so a second
# run is quick and offline.
set -euo pipefail

packages=("$@")
[ "$#" -gt 0 ] || packages=(
    cmake ninja-build g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5dbus5 libqt5xml5 libqt5network5
    fonts-dejavu-core
    iputils-ping traceroute
    dbus dbus-x11 openssl xvfb xauth
    desktop-file-utils appstream dpkg-dev file
    clang libclang-rt-14-dev clang-format
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
