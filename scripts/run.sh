#!/usr/bin/env bash
# The main job: installs what it needs (compiler, CMake, libsndfile), builds
# the korvax tool and the machine library, and runs korvax with the given
# arguments (the demo without any) in the caller's folder, so that relative
# paths are the caller's: ../korvax/scripts/run.sh render song.flac out.wav
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)   # the real folder, not a link to it
bash "$root/scripts/install-deps.sh" base render
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target korvax korvax_machine >/dev/null
exec "$root/build/tools/korvax" "${@:-demo}"
