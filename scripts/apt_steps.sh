# Sourced by the set-up scripts: apt on a mirror that may refuse an index now and then.
# Each function takes the command that runs apt as its first words (nothing for this machine,
# `chroot ROOT` for a root of ours), then its own arguments after a `--`.

# apt-get update that never ends set-up by itself: a mirror in the middle of a sync refuses one
# index and apt goes on with every other one, so the refused one is named, tried once more, and
# set-up goes on with what apt has. A package that really needs the missing index is named by
# apt_install below.
apt_update() {
    local runner=() log attempt
    while [[ $# -gt 0 && "$1" != -- ]]; do runner+=("$1"); shift; done
    log=$(mktemp)
    for attempt in 1 2; do
        if "${runner[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        echo "apt-get update${runner[*]:+ in ${runner[*]: -1}} could not read every index (try $attempt of 2):" >&2
        grep -E '^(E|W|Err):' "$log" | grep -v 'Some index files failed' | sed 's/^/    /' >&2
        [[ $attempt == 1 ]] && sleep 5
    done
    echo "Going on with the indexes that could be read." >&2
    rm -f "$log"
}

# apt-get install of the named packages; when that fails, names each package that no index
# apt could read offers, and apt's own reason, and fails.
apt_install() {
    local runner=() log package lacking=()
    while [[ $# -gt 0 && "$1" != -- ]]; do runner+=("$1"); shift; done
    shift
    log=$(mktemp)
    if "${runner[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
            >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    for package in "$@"; do
        "${runner[@]}" apt-cache policy "$package" 2>/dev/null | grep -q 'Candidate: [^(]' || lacking+=("$package")
    done
    {
        echo "Set-up cannot install: $*"
        ((${#lacking[@]})) && echo "No index that apt could read offers: ${lacking[*]}"
        echo "apt said:"
        grep -E '^(E|W):|^ [^ ].*: Depends:' "$log" | sed 's/^/    /'
    } >&2
    rm -f "$log"
    return 1
}

# The first URI of apt's sources on this machine whose line matches grep's arguments:
# `apt_source_uri -v security` is the Debian mirror, `apt_source_uri security` its security one.
apt_source_uri() {
    { sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null
      awk '$1 == "deb" { print $2 }' /etc/apt/sources.list 2>/dev/null; } | grep "$@" | head -n 1 || true
}

# Every mount below a folder, deepest first (a run that was killed may have left some).
unmount_below() {
    awk -v root="$1/" 'index($2 "/", root) == 1 { print $2 }' /proc/mounts | sort -r |
        while read -r mount; do umount -l "$mount"; done
}

# A new minbase root of a suite by debootstrap, in place of whatever was at ROOT: SUITE ROOT
# MIRROR LOG. On failure it shows the end of the log and fails.
bootstrap_root() {
    local suite=$1 root=$2 mirror=$3 log=$4
    unmount_below "$root"
    rm -rf --one-file-system "$root"
    mkdir -p "$(dirname "$root")"
    debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$log" 2>&1 ||
        { tail -n 20 "$log" >&2; echo "debootstrap of $suite failed; its log: $log" >&2; return 1; }
}
