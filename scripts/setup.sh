#!/usr/bin/env bash
# Installs what the build and the tests need on this machine, when it is missing (Debian 12).
# Only packages of the machine's own architecture: whatever runs 32-bit Linux code (Wine's 32-bit
# halves) lives in the roots of scripts/debian_root.sh, whose architectures come from one index
# and cannot clash with this machine's libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt_steps.sh
# gcc-i686-linux-gnu is a cross compiler (an amd64 package; its C library for i386 comes in an
# "all" one): it builds the test shim that Wine 10's 32-bit processes load.
packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev python3
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          gcc-i686-linux-gnu libc6-dev-i386-cross xvfb x11-utils imagemagick xdotool fonts-arphic-uming
          pkg-config pcscd libpcsclite-dev vsmartcard-vpcd debootstrap procps xorriso openssl
          osslsigncode softhsm2 libengine-pkcs11-openssl opensc wixl msitools)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    started=$(date +%s)
    echo "Installing ${#missing[@]} packages: ${missing[*]} ..."
    apt_update --
    apt_install -- "${missing[@]}"
    echo "Installed them in $(( $(date +%s) - started )) s."
fi
