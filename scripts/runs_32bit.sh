#!/usr/bin/env bash
# Whether this machine's kernel runs 32-bit x86 code: a tiny 32-bit ELF that exits with 0.
# Exits 0 and prints "yes" where it runs, exits 1 and prints "no" where it does not (some
# kernels are built without IA-32 emulation). Set-up, the test command and the harnesses ask
# this rather than assume: the shipped programs are i686 and need it to run under Wine.
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '.globl _start\n_start: movl $1, %%eax\nxorl %%ebx, %%ebx\nint $0x80\n' >"$work/probe.s"
if as --32 -o "$work/probe.o" "$work/probe.s" 2>/dev/null &&
   ld -m elf_i386 -o "$work/probe" "$work/probe.o" 2>/dev/null &&
   "$work/probe" 2>/dev/null; then
    echo yes
    exit 0
fi
echo no
exit 1
