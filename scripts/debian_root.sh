#!/usr/bin/env bash
# Builds a Debian root of the tests' own, made by debootstrap from the main suite alone, so that
# its 32-bit and 64-bit packages come from one index and match (this machine's own libraries may
# be at security versions whose i386 twins a mirror does not serve yet). Usage:
#   scripts/debian_root.sh trixie     Wine 10, pcscd and vpcd for the real card chain (Debian 12's
#                                     Wine 8 has a stub winscard)
#   scripts/debian_root.sh bookworm   Debian 12's Wine 8 with its 32-bit half, for the Wine tests
# Each root holds the 32-bit half of Wine: it runs the shipped i686 programs where the kernel or
# an emulator runs 32-bit code (scripts/with_32bit.sh). A root lives outside the work tree, so
# that later runs reuse it; it is built again when its package list below changes.
#   KREV_TRIXIE_ROOT, KREV_BOOKWORM_ROOT   where the roots live (default /var/cache/krev/SUITE-root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/apt_steps.sh"
suite=${1:?usage: debian_root.sh trixie|bookworm}
case "$suite" in
    trixie)
        root=${KREV_TRIXIE_ROOT:-/var/cache/krev/trixie-root}
        packages=(wine wine64 libwine xvfb xauth fonts-arphic-uming pcscd vsmartcard-vpcd locales
                  wine32:i386 libpcsclite1:i386) ;;
    bookworm)
        root=${KREV_BOOKWORM_ROOT:-/var/cache/krev/bookworm-root}
        packages=(wine wine64 libwine locales wine32:i386) ;;
    *) echo "usage: debian_root.sh trixie|bookworm" >&2; exit 2 ;;
esac
stamp="$root/.krev-packages"
wanted="$suite minbase i386 ${packages[*]} zh_TW.UTF-8"

# debootstrap writes no /etc/hosts: without one, "localhost" means nothing to the root's programs.
name_localhost() {
    [[ -e "$root/etc/hosts" ]] || printf '127.0.0.1\tlocalhost\n' >"$root/etc/hosts"
}

if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
    name_localhost
    exit 0
fi

mirror=$(apt_source_uri -v security)
[[ -n "$mirror" ]] || { echo "no Debian mirror in apt's configuration" >&2; exit 1; }
trap 'unmount_below "$root"' EXIT

started=$(date +%s)
echo "Building the $suite root in $root (once; later runs reuse it) ..."
bootstrap_root "$suite" "$root" "$mirror" "$root.log" || exit 1
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
chroot "$root" dpkg --add-architecture i386
apt_update chroot "$root" --
apt_install chroot "$root" -- "${packages[@]}" || { echo "The $suite root is incomplete." >&2; exit 1; }
chroot "$root" sh -c "sed -i 's/^# *zh_TW.UTF-8 UTF-8/zh_TW.UTF-8 UTF-8/' /etc/locale.gen &&
                      locale-gen >/dev/null && apt-get clean" >>"$root.log" 2>&1 ||
    { tail -n 20 "$root.log" >&2; exit 1; }
unmount_below "$root"
name_localhost
echo "$wanted" >"$stamp"
echo "The $suite root took $(( $(date +%s) - started )) s and holds $(du -sh "$root" | cut -f1)."
