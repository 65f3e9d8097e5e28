#!/usr/bin/env bash
# The shipped 32-bit DLL itself (scripts/dist.sh's, stripped), run by the PE
# loader (tests/pe_loader) in a 32-bit Linux process under qemu-i386, every call
# into it checked. The self-test first proves each check fires, on faulty DLLs
# that MinGW builds here; then the DLL's host check report in each host state of
# tests/host_check/host_states.h (Windows' default, x87 precisions and rounding,
# SSE flushing and rounding, exceptions unmasked, a decimal comma, relocated)
# must equal the 64-bit Linux build's, on a processor without AVX (the SSE2
# kernels) and, for five states, on one with AVX (the AVX kernels, seen running
# in the emulator's trace). Prints the self-test, the digest per state and the
# imports as bound.
set -euo pipefail
jobs=$(nproc)

bash scripts/dist.sh >/dev/null
dll="$PWD/dist/Orlems Korvax 2.dll"

# The reference: the 64-bit Linux build of the same sources.
# (the unit-test build, unless KORVAX_REFERENCE_BUILD names another folder).
ref=${KORVAX_REFERENCE_BUILD:-build}
cmake -S . -B "$ref" >/dev/null
cmake --build "$ref" -j"$jobs" --target host_check korvax_machine
mkdir -p build-pe
"$ref/tests/host_check/host_check" "$ref/libkorvax2.so" > build-pe/reference-report.txt 2>/dev/null

cmake --no-warn-unused-cli -S tests/pe_loader -B build-pe -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-linux-i386.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DKORVAX_PE_DLL=$dll" "-DKORVAX_PE_REFERENCE=$PWD/build-pe/reference-report.txt" >/dev/null
cmake --build build-pe -j"$jobs"
ctest --test-dir build-pe --output-on-failure -j"$jobs"

log=build-pe/Testing/Temporary/LastTest.log
echo "--- self-test"
grep -E '^(ok|FAIL) |^self-test' "$log" | sed 's|/[^ ]*/build-pe/faulty/||'
echo "--- the DLL's report in each host state (the 64-bit Linux build's: $(grep '^all:' build-pe/reference-report.txt))"
grep -E '^-- [a-z0-9-]+: (all: |[0-9]+ 256-bit)' "$log" | sed 's/^-- //'
echo "--- imports as bound"
grep -E '^(exports|import) ' "$log"
echo "32-bit DLL under the PE loader: its report equals the 64-bit Linux build's in every host state"
