#!/usr/bin/env bash
# Release-style build and the whole unit-test suite, run in a copy of the
# checkout placed in a scratch folder, so that no test can lean on anything
# beside the repository (such as a ../shared folder of this workplace).
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
echo "unit tests passed in a standalone copy ($copy)"
