#!/usr/bin/env bash
# Release-style build and the whole unit-test suite, once per tier of the kernel
# table (dsp/kernels.h) this processor has: uncapped (the widest tier), then
# capped by KORVAX_ISA at each narrower one, so that the narrower kernels and
# the choice among them are exercised on a wide processor too.
set -euo pipefail
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

tiers=()
case "$(uname -m)" in
  x86_64|i?86)
    flags=$(grep -m1 '^flags' /proc/cpuinfo)
    tiers=(plain sse2)
    [[ " $flags " == *" avx "* ]] && tiers+=(avx)
    [[ " $flags " == *" avx512f "* && " $flags " == *" avx512vl "* ]] && tiers+=(avx512)
    unset 'tiers[${#tiers[@]}-1]'   # the widest ran above, uncapped
    ;;
  *) tiers=(plain) ;;
esac
for isa in "${tiers[@]}"; do
  echo "--- the suite with the kernel tier capped at $isa (KORVAX_ISA=$isa)"
  KORVAX_ISA=$isa ctest --test-dir build --output-on-failure -j"$(nproc)"
done
