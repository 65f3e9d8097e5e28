#!/usr/bin/env bash
# The measurements behind docs/limitations.md: attack and release per sample
# rate beside the value texts, the block crossover's modulation at fs / 8192,
# and the sample and true peaks of `korvax demo`'s input and output. The
# smallest host buffer per rate and tier is in the engine benchmark's summary
# (scripts/bench.sh --benchmark_filter=BufferCall).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$root"
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_BENCH=ON >/dev/null
cmake --build build --target engine_limits korvax korvax_machine -j"$(nproc)"
build/bench/engine_limits times
echo
build/bench/engine_limits modulation
echo
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
build/tools/korvax demo "$scratch/" --quiet
build/bench/engine_limits peaks "$scratch/demo-in.wav" "$scratch/demo-out.wav"
