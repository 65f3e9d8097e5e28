#!/usr/bin/env bash
# The installed program stands on its own: `cmake --install` into a scratch
# prefix, then, with the build folder moved out of the way, the installed korvax
# names and loads the library installed beside it and renders bit-identically to
# the build's korvax; its manual page korvax(1) reads with man -l.
# (The unit-test build, unless KORVAX_INSTALL_BUILD names another folder.)
set -euo pipefail
build=${KORVAX_INSTALL_BUILD:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvax korvax_machine
cmake --build "$build" -j"$(nproc)" >/dev/null   # everything install may take (the LV2 bundle)

scratch=$(mktemp -d /tmp/korvax-install.XXXXXX)
moved="$build.moved-for-install-check"
restore() { [ -d "$moved" ] && mv "$moved" "$build"; rm -rf "$scratch"; }
trap restore EXIT
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
find "$prefix" -type f | sed "s|^$prefix/||" | sort

"$build/tools/korvax" demo "$scratch/" --quiet
"$build/tools/korvax" render "$scratch/demo-in.wav" "$scratch/from-build.wav" --quiet

mv "$build" "$moved"
help=$("$prefix/bin/korvax" --help)
grep -qF "$prefix/lib" <<<"$help" || { echo "the installed korvax does not name its own library:" >&2; echo "$help" >&2; exit 1; }
"$prefix/bin/korvax" render "$scratch/demo-in.wav" "$scratch/from-prefix.wav" --quiet
cmp "$scratch/from-build.wav" "$scratch/from-prefix.wav"
man=$prefix/share/man/man1/korvax.1
[ -e "$man" ] || { echo "the manual page was not installed" >&2; exit 1; }
MANWIDTH=80 man -l "$man" > "$scratch/man.txt"
tr -s " " < "$scratch/man.txt" | grep -q "korvax - render audio files" || { echo "man -l does not show korvax(1)" >&2; exit 1; }
head -8 "$scratch/man.txt"
echo "installed korvax: loads $prefix/lib/korvax, renders bit-identically with the build folder gone"
