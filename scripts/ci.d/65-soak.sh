#!/usr/bin/env bash
# The short soak: ten minutes of varied audio over five sample rates, parameters
# changing at every call, the machine invariants checked after each (soak/).
# The long one is in README.md under Reliability.
set -euo pipefail
cmake -S . -B build-soak -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_SOAK=ON -DKORVAX_BUILD_TESTS=OFF \
  -DKORVAX_BUILD_TOOLS=OFF -DKORVAX_BUILD_HOST_CHECK=OFF >/dev/null
cmake --build build-soak --target korvax_soak -j"$(nproc)"
build-soak/soak/korvax_soak --minutes 10
