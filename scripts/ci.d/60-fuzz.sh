#!/usr/bin/env bash
# The fuzzer over host actions (fuzz/): built with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz. It replays the
# checked-in corpus, then fuzzes for a minute from a scratch copy of it. A
# failing input is kept in build-fuzz/artifacts/ and its report is printed.
set -euo pipefail
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVAX_BUILD_FUZZ=ON -DKORVAX_BUILD_TESTS=OFF -DKORVAX_BUILD_TOOLS=OFF \
  -DKORVAX_BUILD_HOST_CHECK=OFF -DKORVAX_BUILD_SOAK=OFF >/dev/null
cmake --build build-fuzz --target korvax_fuzz -j"$(nproc)"

fuzzer=build-fuzz/fuzz/korvax_fuzz
seconds=${KORVAX_FUZZ_SECONDS:-60}
# A smaller quarantine than the default: every script creates machines of some
# 800 KB, and fresh memory for each costs more than the fuzzing itself.
export ASAN_OPTIONS=quarantine_size_mb=16
export UBSAN_OPTIONS=print_stacktrace=1
command -v llvm-symbolizer >/dev/null && export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" build-fuzz/artifacts
cp fuzz/corpus/* "$work/corpus/"

run() {
  local log=$1; shift
  if ! "$fuzzer" -rss_limit_mb=4096 -timeout=60 -artifact_prefix=build-fuzz/artifacts/ "$@" >"$log" 2>&1; then
    grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)' "$log" | tail -60
    echo "fuzzing failed; the input is in build-fuzz/artifacts/"
    exit 1
  fi
}
run "$work/replay.log" -runs=0 "$work/corpus"
grep -E 'INITED|DONE' "$work/replay.log" | tail -1
run "$work/fuzz.log" -max_total_time="$seconds" -print_final_stats=1 "$work/corpus"
grep -E '^INFO: Seed|DONE|stat::(number_of_executed_units|average_exec_per_sec)' "$work/fuzz.log"
