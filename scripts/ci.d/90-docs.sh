#!/usr/bin/env bash
# Every shell command the README and docs/ show, run as scripts/check-docs.sh
# says (long runs stopped once they have run for a while), so that none rots.
# Runs last: it uses the build folders the steps before it made.
set -euo pipefail
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
bash scripts/check-docs.sh
