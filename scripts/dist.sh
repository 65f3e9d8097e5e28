#!/usr/bin/env bash
# Builds the machine as the host loads it, a 32-bit Windows DLL, and puts it into
# dist/ with a short install note. The DLL is the one the checks examine, with
# its symbols stripped; its shape is checked again after stripping.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake --no-warn-unused-cli -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_TESTS=OFF -DKORVAX_BUILD_TOOLS=OFF >/dev/null
cmake --build build-win32 -j"$(nproc)" --target korvax_machine
bash scripts/check-dll.sh "build-win32/Orlems Korvax 2.dll" pei-i386

rm -rf dist
mkdir -p dist
i686-w64-mingw32-strip --strip-all -o "dist/Orlems Korvax 2.dll" "build-win32/Orlems Korvax 2.dll"
bash scripts/check-dll.sh "dist/Orlems Korvax 2.dll" pei-i386

version=$(sed -n 's/^project(Korvax2 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
sed 's/$/\r/' > dist/INSTALL.txt <<EOF
Orlems Korvax v2 (Korvax 2, version $version)
Three-band linear-phase dynamics processor, an effect machine.

Installing
1. Close the host application.
2. Copy "Orlems Korvax 2.dll" into the host's folder of effect machines: the
   folder that already holds the other effect machine DLLs. Keep the file name
   exactly as it is.
3. Start the host. The machine appears among the effects as "Orlems Korvax v2".

Requirements
- The 32-bit host application on Windows, on a processor with SSE2.
- Nothing else: the DLL carries its own runtime and uses only KERNEL32.dll and
  msvcrt.dll, which every Windows has.

Notes
- The output is 16383 sample pairs (about 0.37 s at 44.1 kHz) late.
- Uninstall by deleting the file from the same folder.
EOF

echo "dist: ready"
ls -l dist
