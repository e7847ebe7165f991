#!/usr/bin/env bash
# Runs a command (a test suite, the main job) where the shipped i686 programs can run, and tells
# it in KREV_32BIT_WAY how 32-bit code runs there:
#   - the kernel: it runs 32-bit code itself;
#   - emulation: Debian trixie's qemu-i386 (scripts/qemu_user.sh) through binfmt_misc, either in
#     a binfmt_misc instance of the run's own (new user, mount and PID namespaces; Linux 6.7 and
#     later allow it), which nothing outside the run sees and which goes with it, or else through
#     an entry registered for the run and removed at its end, also when it fails;
#   - none: the command runs the x86_64 twins (KREV_PROGRAMS=x86_64), as it says.
# The machine's own binfmt_misc entries are never touched, and a kernel that refused 32-bit
# programs before the run refuses them after it.
#   KREV_32BIT=kernel|emulation|none   takes that way (emulation also where the kernel runs
#                                      32-bit code itself, to measure it); it fails when it cannot
#   KREV_PROGRAMS=i686|x86_64          chosen by hand: the command runs as it is
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wanted=${KREV_32BIT:-}
binfmt=/proc/sys/fs/binfmt_misc
# 32-bit x86 ELF programs, executables and position-independent ones alike.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

say() { echo "32-bit code: $*" >&2; }

if [[ -n "${KREV_PROGRAMS:-}" ]]; then
    export KREV_32BIT_WAY="as KREV_PROGRAMS chose ($KREV_PROGRAMS)"
    exec "$@"
fi

if [[ "$wanted" != emulation && "$wanted" != none ]] && bash "$here/runs_32bit.sh" >/dev/null; then
    export KREV_32BIT_WAY="the kernel"
    say "the kernel runs it"
    exec "$@"
fi
if [[ "$wanted" == kernel ]]; then
    say "the kernel does not run it"
    exit 1
fi

emulator=""
# Wine's 32-bit half must be there to be emulated: it lives in the roots of scripts/debian_root.sh
# (the main job's command builds the trixie root alone, the test command both).
if [[ "$wanted" != none && ( -e "${KREV_TRIXIE_ROOT:-/var/cache/krev/trixie-root}/usr/lib/wine/wine" ||
                             -e "${KREV_BOOKWORM_ROOT:-/var/cache/krev/bookworm-root}/usr/lib/wine/wine" ) ]]; then
    emulator=$(bash "$here/qemu_user.sh") || emulator=""
fi
rule=":krev-i386-$$:M::$magic:$mask:$emulator:F"

# The private instance: tried once on its own, then used for the command.
private_instance() {
    unshare --user --map-root-user --mount --pid --fork --mount-proc --kill-child -- bash -c '
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || exit 1
        printf "%s" "$1" >/proc/sys/fs/binfmt_misc/register || exit 1
        shift
        exec "$@"' private-binfmt "$rule" "$@"
}

if [[ -n "$emulator" ]] && private_instance bash "$here/runs_32bit.sh" >/dev/null 2>&1; then
    export KREV_32BIT_WAY="emulation by $("$emulator" --version | head -n 1), in a binfmt_misc instance of this run's own"
    say "$KREV_32BIT_WAY"
    private_instance "$@"
    exit $?
fi

# Otherwise an entry of the run's own in the machine's binfmt_misc, removed at the end.
if [[ -n "$emulator" ]]; then
    mounted=""
    entry="$binfmt/krev-i386-$$"
    remove_entry() {
        [[ -e "$entry" ]] && echo -1 >"$entry"
        [[ -n "$mounted" ]] && umount "$binfmt"
        return 0
    }
    if [[ ! -e "$binfmt/register" ]] && mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
        mounted=1
    fi
    if [[ -e "$binfmt/register" ]] && printf '%s' "$rule" >"$binfmt/register" 2>/dev/null; then
        trap remove_entry EXIT
        trap 'exit 130' INT TERM
        if bash "$here/runs_32bit.sh" >/dev/null; then
            export KREV_32BIT_WAY="emulation by $("$emulator" --version | head -n 1), through a binfmt_misc entry of this run's (removed at its end)"
            say "$KREV_32BIT_WAY"
            "$@"
            exit $?
        fi
    fi
    remove_entry
    trap - EXIT INT TERM
fi

if [[ "$wanted" == emulation ]]; then
    say "no emulation could be had here"
    exit 1
fi
export KREV_PROGRAMS=x86_64
export KREV_32BIT_WAY="none: neither the kernel nor an emulator runs it here"
say "$KREV_32BIT_WAY; the x86_64 builds of the same sources run instead"
exec "$@"
