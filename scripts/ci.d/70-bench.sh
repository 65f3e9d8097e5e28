#!/usr/bin/env bash
# The engine and FPU-guard benchmarks, built with the unit tests (build/, KORVAX_BUILD_BENCH=ON),
# run once briefly so that they keep building and their bit checks keep passing.
# Times from this run mean nothing; scripts/bench.sh makes the full run.
set -euo pipefail
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_BENCH=ON >/dev/null
cmake --build build --target engine_bench fpu_guard_bench -j"$(nproc)"
build/bench/engine_bench --benchmark_min_time=0.01
build/bench/fpu_guard_bench --benchmark_min_time=0.01
