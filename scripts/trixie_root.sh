#!/usr/bin/env bash
# Builds the Debian trixie root that holds Wine 10, pcscd and vpcd for the real-chain tests
# (Debian 12's Wine 8 has a stub winscard), and NSIS 3.11, which builds the installer (Debian 12's
# 3.08 has the plug-ins folder flaw that 3.11 mends; scripts/makensis.sh runs it). The root lives
# outside the work tree, so that later runs reuse it; it is built again when the package list
# below changes.
#   KREV_TRIXIE_ROOT   where the root lives (default /var/cache/krev/trixie-root)
set -euo pipefail
root=${KREV_TRIXIE_ROOT:-/var/cache/krev/trixie-root}
# With the 32-bit half of Wine and pcsc-lite: the root runs the shipped i686 programs where the
# kernel or an emulator runs 32-bit code (scripts/with_32bit.sh).
packages=(wine wine64 libwine xvfb xauth fonts-arphic-uming pcscd vsmartcard-vpcd locales nsis
          wine32:i386 libpcsclite1:i386)
foreign_architecture="dpkg --add-architecture i386 &&"
stamp="$root/.krev-packages"
wanted="trixie minbase ${packages[*]} zh_TW.UTF-8"

if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
    exit 0
fi

# The Debian mirror that apt already uses on this machine.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
         grep -v security | head -n 1 || true)
if [[ -z "$mirror" ]]; then
    mirror=$(awk '$1 == "deb" && $3 !~ /security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
fi
[[ -n "$mirror" ]] || { echo "no Debian mirror in apt's configuration" >&2; exit 1; }

# Every mount below the root, deepest first (a run that was killed may have left some).
unmount_all() {
    awk -v root="$root/" 'index($2 "/", root) == 1 { print $2 }' /proc/mounts | sort -r |
        while read -r mount; do umount -l "$mount"; done
}
trap unmount_all EXIT

started=$(date +%s)
echo "Building the trixie root for Wine 10 in $root (once; later runs reuse it) ..."
unmount_all
rm -rf --one-file-system "$root"
mkdir -p "$(dirname "$root")"
debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -n 20 "$root.log" >&2; exit 1; }
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive sh -c "
    $foreign_architecture
    apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends ${packages[*]} &&
    sed -i 's/^# *zh_TW.UTF-8 UTF-8/zh_TW.UTF-8 UTF-8/' /etc/locale.gen &&
    locale-gen >/dev/null &&
    apt-get clean" >>"$root.log" 2>&1 || { tail -n 20 "$root.log" >&2; exit 1; }
unmount_all
echo "$wanted" >"$stamp"
echo "The trixie root took $(( $(date +%s) - started )) s and holds $(du -sh "$root" | cut -f1)."
