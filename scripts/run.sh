#!/usr/bin/env bash
# The main job: installs what it needs, builds, and runs the machine's demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target korvax korvax_machine
exec build/tools/korvax "${@:-demo}"
