#!/usr/bin/env bash
# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_SANITIZE=ON -DKORVAX_BUILD_BENCH=OFF >/dev/null
cmake --build build-sanitize -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions="$PWD/scripts/lsan-suppressions.txt" \
  ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j"$(nproc)"
