#!/usr/bin/env bash
# The test command: installs what is missing (the Debian roots with Wine included), builds
# everything, runs the unit tests, the end-to-end tests under Wine 8, the real card chain under
# Wine 10 and the main job, then says in one line what passed, failed and was skipped. Every suite
# runs even when one before it failed; the exit code is not 0 when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/debian_root.sh trixie
bash scripts/debian_root.sh bookworm
# What the build and the suites could leave in a temporary folder, here and in the roots: Wine's
# server folders (each with its lock), compilers' and binutils' temporary files, the harnesses' own
# folders, X displays' locks. The run must end with none that it did not find.
leftovers() {
    local folder
    for folder in /tmp "${TMPDIR:-/tmp}" "${KREV_BOOKWORM_ROOT:-/var/cache/krev/bookworm-root}/tmp" \
                  "${KREV_TRIXIE_ROOT:-/var/cache/krev/trixie-root}/tmp"; do
        find "$folder" -mindepth 1 -maxdepth 1 \( -name 'wine-*' -o -name 'cc??????*' -o -name 'krev-*' \
            -o -name '.X*-lock' \) -print 2>/dev/null || true
    done | sort -u
}
leftovers_before=$(leftovers)
bash scripts/build.sh
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
status=0
echo "== Unit tests (native, simulated platform) and the card library against pcscd"
ctest --test-dir build/native --output-on-failure 2>&1 | tee "$logs/unit.log" || status=1
# The shipped i686 programs run where the kernel or an emulator runs 32-bit code
# (scripts/with_32bit.sh); whatever a run set up for that, it leaves nothing of it behind.
kernel_before=$(bash scripts/runs_32bit.sh || true)
entries_before=$(ls /proc/sys/fs/binfmt_misc 2>/dev/null || true)
echo "== End-to-end tests (Wine 8 in the bookworm root, in Xvfb)"
bash scripts/with_32bit.sh python3 tests/wine/run_wine_tests.py 2>&1 | tee "$logs/wine.log" || status=1
echo "== Real card chain (Wine 10 in the trixie root, our PC/SC SC.dll, pcscd, vpcd)"
bash scripts/with_32bit.sh python3 tests/realchain/run_real_chain_tests.py 2>&1 | tee "$logs/realchain.log" || status=1
echo "== The main job (what bash scripts/run.sh shows after its build)"
main_job=0
bash scripts/with_32bit.sh python3 scripts/main_job.py 2>&1 | tee "$logs/mainjob.log" || main_job=$?
echo "main job exit code: $main_job" >>"$logs/mainjob.log"
((main_job == 0)) || status=1
if [[ "$(bash scripts/runs_32bit.sh || true)" != "$kernel_before" || "$(ls /proc/sys/fs/binfmt_misc 2>/dev/null || true)" != "$entries_before" ]]; then
    echo "The run changed how this machine runs 32-bit programs, or left a binfmt_misc entry behind." | tee -a "$logs/wine.log"
    status=1
else
    echo "After the run this kernel runs 32-bit programs: $kernel_before, as before; its binfmt_misc entries are as they were."
fi
left_behind=$(comm -13 <(echo "$leftovers_before") <(leftovers))
if [[ -n "$left_behind" ]]; then
    echo "The run left behind in temporary folders:" $left_behind | tee "$logs/leftovers.log"
    status=1
else
    echo "The run left nothing behind in the temporary folders."
fi
python3 scripts/test_summary.py "$logs"
exit "$status"
