#!/usr/bin/env bash
# The 32-bit build, as the host's process is: core, machine library, reference
# host and the whole test suite built with -m32 (SSE2 scalar arithmetic) and run
# under user-mode emulation. Compiling proves the 60-, 32- and 16-byte records
# and their offsets (static assertions under 32-bit pointers); the host check's
# report must equal the 64-bit build's bit for bit, over every setting it runs.
set -euo pipefail
jobs=$(nproc)

cmake --no-warn-unused-cli -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i386.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAX_BUILD_TOOLS=OFF -DKORVAX_BUILD_BENCH=OFF -DKORVAX_BUILD_LV2=OFF >/dev/null
cmake --build build-i386 -j"$jobs"
# The host check runs once, below, where its report is compared. Its run in
# every host state is the 64-bit build's test and the PE loader's (55), not
# repeated here under emulation.
ctest --test-dir build-i386 --output-on-failure --no-tests=error -j"$jobs" -E '^host_check(_states)?$'

# The reference: the 64-bit build of the same sources.
# (the unit-test build, unless KORVAX_REFERENCE_BUILD names another folder).
ref=${KORVAX_REFERENCE_BUILD:-build}
cmake -S . -B "$ref" >/dev/null
cmake --build "$ref" -j"$jobs" --target host_check korvax_machine
"$ref/tests/host_check/host_check" "$ref/libkorvax2.so" > build-i386/host_check-x86_64.txt

IFS=';' read -ra emulator <<<"$(sed -n 's/^KORVAX_I386_EMULATOR:STRING=//p' build-i386/CMakeCache.txt)"
"${emulator[@]}" build-i386/tests/host_check/host_check build-i386/libkorvax2.so > build-i386/host_check-i386.txt
diff -u build-i386/host_check-x86_64.txt build-i386/host_check-i386.txt
echo "32-bit build: host check report equals the 64-bit build's"
cat build-i386/host_check-i386.txt
