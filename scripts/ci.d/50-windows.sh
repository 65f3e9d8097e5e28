#!/usr/bin/env bash
# The Windows builds. The 32-bit DLL is what the host loads: its export and
# import tables and its slots' calling convention are checked from the file.
# The 64-bit DLL is built from the same sources and driven under Wine by the
# Windows build of the host check, whose report must equal the Linux build's,
# with the x87 unit at 53-bit precision (as Windows programs usually leave it)
# and at 64-bit precision. (32-bit Wine is not available here; the 32-bit
# numbers are proven by the 32-bit Linux build.)
set -euo pipefail
jobs=$(nproc)

for arch in i686:win32 x86_64:win64; do
  cmake --no-warn-unused-cli -S . -B "build-${arch#*:}" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-${arch%:*}.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_TESTS=OFF -DKORVAX_BUILD_TOOLS=OFF -DKORVAX_BUILD_BENCH=OFF >/dev/null
  cmake --build "build-${arch#*:}" -j"$jobs"
done

bash scripts/check-dll.sh "build-win32/Orlems Korvax 2.dll" pei-i386
bash scripts/check-avx-stack.sh "build-win32/Orlems Korvax 2.dll"
i686-w64-mingw32-objdump -p "build-win32/Orlems Korvax 2.dll" |
  sed -n '/^The Export Tables/,/^PE File Base Relocations/p' | sed '$d'
bash scripts/check-dll.sh "build-win64/Orlems Korvax 2.dll" pei-x86-64

# The reference: the 64-bit Linux build of the same sources.
# (the unit-test build, unless KORVAX_REFERENCE_BUILD names another folder).
ref=${KORVAX_REFERENCE_BUILD:-build}
cmake -S . -B "$ref" >/dev/null
cmake --build "$ref" -j"$jobs" --target host_check korvax_machine
"$ref/tests/host_check/host_check" "$ref/libkorvax2.so" > build-win64/host_check-linux.txt

# Debian's 64-bit Wine loader is not on PATH; a throw-away prefix keeps runs apart.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
scratch=$(mktemp -d /tmp/korvax-wine.XXXXXX)
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { "$wineserver" -w 2>/dev/null || true; rm -rf "$scratch"; }
trap cleanup EXIT

for precision in 53 64; do
  (cd build-win64 && "$wine" host_check.exe --x87=$precision "Orlems Korvax 2.dll") 2>"$scratch/stderr" |
    tr -d '\r' > "build-win64/host_check-wine-x87-$precision.txt" ||
    { cat "$scratch/stderr" >&2; echo "host check failed under Wine (x87 at $precision bits)" >&2; exit 1; }
  diff -u build-win64/host_check-linux.txt "build-win64/host_check-wine-x87-$precision.txt"
done
echo "64-bit DLL under Wine: host check report equals the Linux build's (x87 at 53 and 64 bits)"
cat build-win64/host_check-wine-x87-64.txt

bash scripts/dist.sh
