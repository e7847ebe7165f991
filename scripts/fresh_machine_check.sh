#!/usr/bin/env bash
# Runs the README's test command as a new user would on a fresh Debian 12 machine whose mirror is
# imperfect, and says whether it got through. The fresh machine is a bookworm root made by
# debootstrap and brought up to date from bookworm-security for amd64 alone (so the i386 twins of
# its updated libraries are missing, as when a mirror is in the middle of a sync), with one more
# source whose Release names a Packages of another size (apt refuses that index). The committed
# work tree (HEAD) runs there as root, in a mount namespace whose root is the fresh machine.
# It takes as long as the test command itself and more: it is not part of it. Run it as root.
#   KREV_FRESH_COMMAND  test (default): the test command; run: the main job's command instead
#   KREV_FRESH_ROOT     where the fresh machine is made (default /var/cache/krev/fresh-machine);
#                       it is removed at the end unless KREV_KEEP_FRESH_ROOT=1
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
box=${KREV_FRESH_ROOT:-/var/cache/krev/fresh-machine}
log="$box.log"
[[ $(id -u) == 0 ]] || { echo "run it as root" >&2; exit 2; }
command=${KREV_FRESH_COMMAND:-test}
[[ $command == test || $command == run ]] || { echo "KREV_FRESH_COMMAND is test or run" >&2; exit 2; }

source "$repo/scripts/apt_steps.sh"
mirror=$(apt_source_uri -v security)
security=$(apt_source_uri security)
[[ -n "$mirror" ]] || { echo "no Debian mirror in apt's configuration" >&2; exit 1; }
security=${security:-${mirror%/debian}/debian-security}

server=""
finish() {
    # The loopback source ends by its PID (set -e must not end this on its status).
    if [[ -n "$server" ]]; then
        kill "$server" 2>/dev/null
        wait "$server" 2>/dev/null || true
    fi
    unmount_below "$box"
    [[ "${KREV_KEEP_FRESH_ROOT:-}" == 1 ]] || rm -rf --one-file-system "$box"
    return 0
}
trap finish EXIT

started=$(date +%s)
echo "Making the fresh machine in $box (log: $log) ..."
bootstrap_root bookworm "$box" "$mirror" "$log" || exit 1

# The source that a mirror in the middle of a sync would be: its Release names a Packages of
# another size, served on loopback (the fresh machine shares this machine's network).
broken="$box/krev-broken-source"
mkdir -p "$broken"
printf 'Package: krev-nothing\nVersion: 1\nArchitecture: all\nFilename: krev-nothing_1_all.deb\nSize: 1\n\n' \
    >"$broken/Packages"
real_size=$(stat -c %s "$broken/Packages")
{
    echo "Origin: krev-broken-source"
    echo "Label: krev-broken-source"
    echo "Suite: stable"
    echo "Date: $(date -Ru)"
    echo "SHA256:"
    echo " $(printf '0%.0s' {1..64}) $((real_size + 17)) Packages"
} >"$broken/Release"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$broken" "$port" >/dev/null 2>&1 &
server=$!

cat >"$box/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb [arch=amd64] $security bookworm-security main
deb [trusted=yes] http://127.0.0.1:$port/ ./
SOURCES
cp /etc/resolv.conf "$box/etc/resolv.conf" 2>/dev/null || true
mount -t proc proc "$box/proc"
mount --bind /dev "$box/dev"
chroot "$box" apt-get update >>"$log" 2>&1 || true  # the broken source fails, as it should
chroot "$box" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq upgrade >>"$log" 2>&1 ||
    { tail -n 20 "$log" >&2; exit 1; }
chroot "$box" apt-get clean
unmount_below "$box"
echo "Updated from bookworm-security (amd64 only): $(chroot "$box" dpkg-query -W -f '${Version}' libc6 2>/dev/null \
    | sed 's/^/libc6 /'); made in $(( $(date +%s) - started )) s."

mkdir -p "$box/work/krev"
git -C "$repo" archive HEAD | tar -x -C "$box/work/krev"
echo "Running bash scripts/$command.sh there as root, on $(git -C "$repo" rev-parse --short HEAD) ..."
run_started=$(date +%s)
set +e
unshare --mount --fork -- bash -c '
    set -e
    box=$1
    mount --make-rprivate /
    mount --rbind "$box" "$box"
    mount -t proc proc "$box/proc"
    mount --rbind /dev "$box/dev"
    mount --rbind /sys "$box/sys"
    mount -t tmpfs tmpfs "$box/tmp"
    mount -t tmpfs tmpfs "$box/run"
    cd "$box"
    mkdir -p .old-root
    pivot_root . .old-root
    umount -l /.old-root
    rmdir /.old-root
    exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb \
        bash -c "cd /work/krev && bash scripts/$2.sh"' fresh-machine "$box" "$command" 2>&1 | tee "$log.test"
code=${PIPESTATUS[0]}
set -e
echo "bash scripts/$command.sh ended with $code after $(( $(date +%s) - run_started )) s."

verdict=0
check() {  # check WHAT PATTERN: whether the command's output holds the pattern
    if grep -qE "$2" "$log.test"; then echo "  yes: $1"; else echo "  NO: $1"; verdict=1; fi
}
echo "On the fresh machine:"
check "set-up named the refused index" "127\.0\.0\.1:$port.*(size|Hash|hash)"
check "set-up went on past it" "Going on with the indexes that could be read"
if [[ $command == test ]]; then
    check "the unit tests ran" "tests passed, [0-9]+ tests? failed out of"
    check "the Wine suite ran the shipped i686 programs" "^These tests ran the shipped i686 programs"
    check "the closing line came" "^Tests: unit and card library"
else
    check "the main job ran the shipped i686 programs" "^Krev.exe from dist/win32 runs as a 32-bit process"
    check "the main job's Krev ended by its Exit command" "^Krev ended with exit code 0"
fi
[[ $code == 0 ]] || { echo "  NO: bash scripts/$command.sh exited with $code"; verdict=1; }
exit "$verdict"
