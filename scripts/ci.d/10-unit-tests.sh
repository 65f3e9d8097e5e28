#!/usr/bin/env bash
# Release-style build and the whole unit-test suite, run in a copy of the
# checkout placed in a scratch folder, so that no test can lean on anything
# beside the repository (such as a folder next to the checkout); once per
# tier of the kernel table (dsp/kernels.h) this processor has: uncapped (the
# widest tier), then capped by KORVAX_ISA at each narrower one, so that the
# narrower kernels and the choice among them are exercised on a wide processor.
set -euo pipefail
root=$(pwd)
scratch=$(mktemp -d /tmp/korvax-standalone.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
copy="$scratch/korvax"
mkdir "$copy"
# The tracked files and the new ones not ignored: the clone as it stands.
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$copy"
[ ! -e "$scratch/shared" ] || { echo "the scratch folder has a 'shared' beside the copy" >&2; exit 1; }

cd "$copy"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure --no-tests=error -j"$(nproc)"

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
  KORVAX_ISA=$isa ctest --test-dir build --output-on-failure --no-tests=error -j"$(nproc)"
done
echo "unit tests passed in a standalone copy ($copy), uncapped and capped at: ${tiers[*]}"
