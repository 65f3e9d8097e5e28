#!/usr/bin/env bash
# The full engine benchmark: medians over repetitions, each figure beside its
# target (see the summary at the end). Run it on an otherwise idle machine;
# extra arguments go to Google Benchmark (e.g. --benchmark_filter=RealFft).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_BENCH=ON >/dev/null
cmake --build build --target engine_bench -j"$(nproc)"
exec build/bench/engine_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true "$@"
