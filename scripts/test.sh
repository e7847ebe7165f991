#!/usr/bin/env bash
# The test command: installs what is missing (the trixie root with Wine 10 included), builds
# everything, runs the unit tests, the end-to-end tests under Wine 8 and the real card chain
# under Wine 10.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/trixie_root.sh
bash scripts/build.sh
echo "== Unit tests (native, simulated platform)"
ctest --test-dir build/native --output-on-failure
echo "== End-to-end tests (Wine in Xvfb)"
python3 tests/wine/run_wine_tests.py
echo "== Real card chain (Wine 10 in the trixie root, our PC/SC SC.dll, pcscd, vpcd)"
python3 tests/realchain/run_real_chain_tests.py
