#!/usr/bin/env bash
# Prints the path of qemu-i386 from Debian trixie's qemu-user (10.0 or later; Debian 12's 7.2
# cannot run Wine), fetched once through the trixie root's apt and kept beside the root. Its
# qemu-i386 is a static-pie program that runs on Debian 12. Exit code 1 when it cannot be had.
#   KREV_TRIXIE_ROOT   where the root lives (default /var/cache/krev/trixie-root)
set -euo pipefail
root=${KREV_TRIXIE_ROOT:-/var/cache/krev/trixie-root}
home="$root.qemu-user"
qemu="$home/usr/bin/qemu-i386"
if [[ ! -x "$qemu" ]]; then
    [[ -x "$root/usr/bin/apt-get" ]] || { echo "no trixie root in $root: run scripts/debian_root.sh trixie" >&2; exit 1; }
    started=$(date +%s)
    echo -n "Fetching trixie's qemu-user for 32-bit code (once) ... " >&2
    download=$(mktemp -d "$root/tmp/qemu-user.XXXXXX")
    trap 'rm -rf "$download" "$home.part"' EXIT
    chroot "$root" sh -c "cd '/tmp/$(basename "$download")' && apt-get download -qq qemu-user" >/dev/null 2>&1 ||
        { echo "trixie's qemu-user could not be downloaded" >&2; exit 1; }
    rm -rf "$home.part"
    dpkg-deb -x "$download"/qemu-user_*.deb "$home.part"
    mkdir -p "$home/usr/bin"
    mv "$home.part/usr/bin/qemu-i386" "$qemu"
    echo "$(( $(date +%s) - started )) s" >&2
fi
version=$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
[[ -n "$version" && "$version" -ge 10 ]] || { echo "$qemu is older than 10.0" >&2; exit 1; }
echo "$qemu"
