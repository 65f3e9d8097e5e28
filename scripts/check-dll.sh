#!/usr/bin/env bash
# Checks the shape of a built machine DLL from its PE headers:
#   - the export directory names the module "Orlems Korvax 2.dll" and holds
#     exactly CreateMachine (ordinal 1) and GetInfo (ordinal 2), unmangled;
#   - when the file still has its symbols, each ordinal leads to that function;
#   - every imported DLL is one that every Windows installation has, so that
#     no compiler runtime (libgcc, libstdc++, libwinpthread) must be shipped;
#   - the file is a DLL for the expected machine (pei-i386 or pei-x86-64).
# Usage: check-dll.sh <dll> <pei-i386|pei-x86-64>
set -euo pipefail
dll=$1
format=$2
case "$format" in
  pei-i386) objdump=i686-w64-mingw32-objdump; nm=i686-w64-mingw32-nm; prefix=_ ;;
  pei-x86-64) objdump=x86_64-w64-mingw32-objdump; nm=x86_64-w64-mingw32-nm; prefix= ;;
  *) echo "check-dll: unknown format $format" >&2; exit 2 ;;
esac

fail() { echo "check-dll: $dll: $*" >&2; exit 1; }

headers=$("$objdump" -p "$dll")

grep -q "file format $format\$" <<<"$headers" || fail "not a $format file"
characteristics=$(awk '/^Characteristics 0x/ {print $2; exit}' <<<"$headers")
(( characteristics & 0x2000 )) || fail "not a DLL (characteristics $characteristics)"

# The export directory: module name, ordinal base, and name -> ordinal.
module=$(awk '/^Name[ \t]+[0-9a-f]+ / {sub(/^Name[ \t]+[0-9a-f]+ /, ""); print; exit}' <<<"$headers")
[ "$module" = "Orlems Korvax 2.dll" ] || fail "module name is '$module'"
base=$(awk '/^Ordinal Base/ {print $3; exit}' <<<"$headers")
addresses=$(awk '/^\tExport Address Table[ \t]+[0-9a-f]+$/ {print $4; exit}' <<<"$headers")
[ "$((16#${addresses:-0}))" = 2 ] || fail "the export address table has $addresses entries"
# Lines of the name table read "[ index] name" (the index counts from the base).
exports=$(awk -v base="$base" '
  /^\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
  inside && /^[ \t]*$/ {exit}
  inside {
    line = $0
    sub(/^[ \t]*\[[ \t]*/, "", line)
    index_ = line + 0
    sub(/^[0-9]+\][ \t]*/, "", line)
    sub(/^\+base\[[ \t]*[0-9]+\][ \t]+[0-9a-f]+[ \t]+/, "", line)   # newer binutils
    print line, index_ + base
  }' <<<"$headers" | sort)
expected=$'CreateMachine 1\nGetInfo 2'
[ "$exports" = "$expected" ] || fail "exports are:"$'\n'"$exports"

# With symbols present, ordinal n's address must be the function of that name.
symbols=$("$nm" "$dll" 2>/dev/null || true)
if grep -q " T ${prefix}GetInfo\$" <<<"$symbols"; then
  image_base=$(awk '/^ImageBase/ {print $2; exit}' <<<"$headers")
  for pair in CreateMachine:1 GetInfo:2; do
    name=${pair%:*}; ordinal=${pair#*:}
    rva=$(awk -v o="$ordinal" '/^\t\[ *[0-9]+\] \+base\[ *[0-9]+\] [0-9a-f]+ Export RVA/ {
            line = $0; sub(/.*\+base\[ */, "", line); n = line + 0
            if (n == o) { sub(/^[0-9]+\] /, "", line); sub(/ .*/, "", line); print line; exit } }' <<<"$headers")
    symbol=$(awk -v s="${prefix}${name}" '$3 == s && $2 == "T" {print $1; exit}' <<<"$symbols")
    [ -n "$rva" ] && [ -n "$symbol" ] && [ $((16#$image_base + 16#$rva)) = $((16#$symbol)) ] ||
      fail "ordinal $ordinal does not lead to $name"
  done
  checked_symbols=", ordinals checked against symbols"
fi

# 32-bit slots follow the host compiler's member-function convention: "this" in
# ECX and the callee pops its stack arguments, so a slot with n 32-bit arguments
# returns with "ret $4n" (a convention with "this" on the stack would pop 4n+4).
if [ "$format" = pei-i386 ] && [ -n "${checked_symbols:-}" ]; then
  code=$("$objdump" -d -C --no-show-raw-insn "$dll")
  while IFS='|' read -r function arguments; do
    pops=$(awk -v f="<korvax::$function>:" '
      index($0, f) {inside = 1; next}
      inside && /^$/ {exit}
      inside && $2 == "ret" {print ($3 == "" ? "$0x0" : $3)}' <<<"$code" | sort -u)
    expected=$(printf '$0x%x' $((4 * arguments)))
    [ "$pops" = "$expected" ] ||
      fail "slot $function returns with '${pops:-no ret}', expected ret $expected"
  done <<'EOF'
MultibandMachine::Destroy(int)|1
MixingMachine::Initialise(void*)|1
MultibandMachine::ApplyParameters()|0
MixingMachine::Process(float*, int, int)|3
MixingMachine::Slot4(int, int, int, int)|4
MultibandMachine::DescribeParameterValue(int, int)|2
MultibandMachine::GetExtension()|0
MultibandMachine::ProcessStereo(float*, int, int)|3
MultibandMachine::InitialiseEngine(void*)|1
MachineSlotsEx::Slot6(int, int, int)|3
EOF
  checked_symbols+=", slots pop their own arguments"
fi

# Imports: only DLLs that ship with every Windows.
system_dlls=" kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll "
imports=$(awk '/^\tDLL Name: / {print $3}' <<<"$headers")
[ -n "$imports" ] || fail "imports nothing (not even KERNEL32.dll)?"
for import in $imports; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$import")
  [[ "$system_dlls" == *" $lower "* ]] || fail "imports $import, which Windows does not provide"
done

echo "check-dll: $dll: $format, module '$module', exports CreateMachine@1 GetInfo@2${checked_symbols:-}, imports" $imports
