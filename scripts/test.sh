#!/usr/bin/env bash
# The test command: installs what is missing, builds everything, runs the unit tests and the
# end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
echo "== Unit tests (native, simulated platform)"
ctest --test-dir build/native --output-on-failure
echo "== End-to-end tests (Wine in Xvfb)"
python3 tests/wine/run_wine_tests.py
