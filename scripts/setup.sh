#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian 12).
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev python3
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine64 xvfb x11-utils imagemagick xdotool fonts-arphic-uming
          pkg-config pcscd libpcsclite-dev vsmartcard-vpcd debootstrap procps xorriso locales)
# The tests run the shipped i686 programs where the kernel or an emulator runs 32-bit code
# (scripts/with_32bit.sh): Wine 8 needs its 32-bit half for them, and the card-service shim for
# Wine 10 is built with -m32. Their packages install on any kernel (what their scripts would run
# of 32-bit code is allowed to fail).
dpkg --print-foreign-architectures | grep -qx i386 || { dpkg --add-architecture i386 && apt-get update -qq; }
packages+=(wine32:i386 gcc-multilib)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# Wine names files in the Unix locale's character set: with zh_TW.UTF-8 generated, Chinese file
# names (the Start menu's shortcuts) can be created under Wine.
if ! locale -a 2>/dev/null | grep -qi '^zh_TW.utf8$'; then
    sed -i 's/^# *zh_TW.UTF-8 UTF-8/zh_TW.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^zh_TW.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_TW.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null
fi
