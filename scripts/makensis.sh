#!/usr/bin/env bash
# makensis from the trixie root (NSIS 3.11: earlier versions let a user race the plug-ins folder
# of an installer that runs as SYSTEM), run on this machine with the root's own loader and
# libraries. scripts/debian_root.sh trixie makes the root.
#   KREV_TRIXIE_ROOT   where the root lives (default /var/cache/krev/trixie-root)
set -euo pipefail
root=${KREV_TRIXIE_ROOT:-/var/cache/krev/trixie-root}
[[ -x "$root/usr/bin/makensis" ]] || { echo "no makensis in $root: run scripts/debian_root.sh trixie" >&2; exit 1; }
NSISDIR="$root/usr/share/nsis" NSISCONFDIR="$root/etc" exec "$root/lib64/ld-linux-x86-64.so.2" \
    --library-path "$root/lib/x86_64-linux-gnu:$root/usr/lib/x86_64-linux-gnu" "$root/usr/bin/makensis" "$@"
