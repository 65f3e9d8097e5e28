#!/usr/bin/env bash
# Builds the machine as the host loads it, a 32-bit Windows DLL, and puts it into
# dist/ with its install note, and packs both into a zip with a SHA-256 file beside it. The DLL is the one the checks examine, with
# its symbols stripped; its shape is checked again after stripping.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
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
package="Korvax-2-$version-win32.zip"
sed 's/$/\r/' > dist/INSTALL.txt <<EOF
Korvax 2, version $version
A three-band linear-phase dynamics processor: an effect machine for the host
application. It splits the sound into low, mid and high bands, compresses each
band, sets the width of the low band, and limits the sum.

What you need
- The 32-bit host application on Windows, on a processor with SSE2 (every
  processor of the last twenty years). Korvax 2 is a 32-bit DLL: a 64-bit
  program cannot load it.
- Nothing else. Korvax 2 brings its own runtime and uses only KERNEL32.dll and
  msvcrt.dll, which every Windows has.

Installing
1. Close the host application.
2. Find the host's folder of effect machines. It is usually a folder for
   effects inside the folder the host was installed into (for example under
   "Program Files (x86)"), and it already holds the other effect machine DLLs.
3. Copy "Orlems Korvax 2.dll" into that folder. Keep the file name exactly as
   it is: the host finds machines by their file names.
4. Start the host. Korvax 2 appears among the effects as "Orlems Korvax v2".

If Korvax 2 does not appear
- Check the file name: "Orlems Korvax 2.dll", with both spaces, and not
  "Orlems Korvax 2 (1).dll" or "Orlems Korvax 2.dll.dll" (let Windows Explorer
  show file name extensions to see the whole name).
- Windows may block a file that came from the internet: right-click the DLL,
  choose Properties, and if the General tab shows "Unblock", tick it and press
  OK. Doing the same for the zip before unpacking it unblocks both.
- The folder lies under "Program Files (x86)", where copying needs
  administrator rights. If Windows asked for none and the file is not there
  afterwards, copy it again and accept the prompt, or ask an administrator.
- Make sure the host is the 32-bit one.
- Compare the zip with $package.sha256 (in PowerShell:
  Get-FileHash $package) to rule out a damaged download.

The controls, and where Korvax 2 starts
- Input: the input gain, +6.0 dB.
- LowSplit and HighSplit: the two crossover points, 47 (about 250 Hz) and 85
  (about 2.1 kHz). Steepness: how sharply the bands part, 50.
- Stereo wid.low: the width of the low band, 156%.
- Solo mode: "-" plays all bands; LOW, MID or HIGH plays one band alone;
  "bypass" passes the input through untouched and without delay.
- Comp: Thr.low, Thr.mid, Thr.hi: each band's threshold, -23.8, -20.3 and
  -17.2 dB. Comp: Ratio 30:1, Comp: Attack 4.5 ms, Comp: Releas 8.2 ms.
- Comp: Out low, Out mid, Out hi: each band's output gain, +10.1, +5.7 and
  +0.0 dB.
- Limit: Thresh. -0.1 dB and Limit: Release 8.2 ms: the output limiter.
- Stereo link: off; on makes both channels share each band's gain reduction.

Notes
- The output is 16383 sample pairs (about 0.37 s at 44.1 kHz) late.
- Uninstall by deleting "Orlems Korvax 2.dll" from the same folder.
EOF

# The zip holds the DLL and its note with fixed time stamps, so that the same
# sources give the same bytes; its SHA-256 goes beside it.
stamp=$(git log -1 --format=%cI 2>/dev/null || echo 2026-01-01T00:00:00Z)
touch -d "$stamp" "dist/Orlems Korvax 2.dll" dist/INSTALL.txt
(cd dist && TZ=UTC zip -X -D -q "$package" "Orlems Korvax 2.dll" INSTALL.txt &&
   sha256sum "$package" > "$package.sha256" && sha256sum -c "$package.sha256" >/dev/null)

echo "dist: ready"
ls -l dist
