#!/usr/bin/env bash
# The main job: builds everything, then runs Krev with our PC/SC SC.dll under Wine 10 (in the
# trixie root, built on first use) against pcscd and a virtual card.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/debian_root.sh trixie
bash scripts/build.sh
bash scripts/with_32bit.sh python3 scripts/main_job.py
