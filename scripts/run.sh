#!/usr/bin/env bash
# The main job: builds everything, then runs Krev under Wine in Xvfb and lets a card be inserted.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh >/dev/null
python3 scripts/main_job.py
