#!/usr/bin/env bash
# Code built for a wider instruction set stays in its own files. An object of
# dsp/avx or dsp/avx512 that defines a weak symbol (an inline function or a
# template from a header, compiled there with -mavx or -mavx512f) offers the
# linker a copy of it that every other caller may end up with, a processor
# without those instructions included. A Debug build keeps every such copy out
# of line, so nm sees it: any weak definition in those objects fails the check.
set -euo pipefail
build=${KORVAX_ISA_CHECK_BUILD:-build-isa}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKORVAX_BUILD_TESTS=OFF -DKORVAX_BUILD_TOOLS=OFF \
  -DKORVAX_BUILD_LV2=OFF -DKORVAX_BUILD_HOST_CHECK=OFF -DKORVAX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvax_core >/dev/null

status=0
checked=0
for tier in avx avx512; do
  for object in $(find "$build/CMakeFiles/korvax_kernels_$tier.dir" -name '*.o' | sort); do
    checked=$((checked + 1))
    # W and V: weak function and object definitions; u: GNU unique globals.
    # DW.ref.__gxx_personality_v0 is the exception tables' pointer to the C++
    # runtime's personality routine, data that every object shares.
    weak=$(nm "$object" | awk '$(NF-1) ~ /^[WVu]$/ && $NF != "DW.ref.__gxx_personality_v0" { print $(NF-1), $NF }' |
           c++filt)
    if [ -n "$weak" ]; then
      echo "${object#"$build"/}: weak definitions built for $tier:"
      echo "$weak" | sed 's/^/    /'
      status=1
    fi
  done
done
[ "$checked" -gt 0 ] || { echo "no AVX or AVX-512 kernel objects found in $build" >&2; exit 1; }
[ $status -eq 0 ] && echo "isa objects: $checked AVX and AVX-512 kernel objects define no weak symbol"
exit $status
