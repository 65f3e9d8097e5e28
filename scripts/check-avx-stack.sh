#!/usr/bin/env bash
# The 32-bit DLL's AVX code on the host's stack, which is only 4-byte aligned:
# an aligned 256-bit move (vmovaps, vmovapd, vmovdqa, vmovntps, ...) faults on
# an address that is not a multiple of 32. Fails if the DLL holds one whose
# address comes from a register (the stack, or anything else not a constant
# address); unaligned moves and the memory operands of VEX arithmetic need no
# alignment. Also prints how many functions realign their own frame to 32.
# Usage: check-avx-stack.sh <unstripped 32-bit DLL>
set -euo pipefail
dll=$1
code=$(i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll")
ymm=$(grep -c '%ymm' <<<"$code" || true)
aligned=$(grep -E '\s(vmovap[sd]|vmovdqa(32|64)?|vmovnt(ps|pd|dq))\s' <<<"$code" | grep '%ymm' | grep '(%' || true)
if [ -n "$aligned" ]; then
  echo "check-avx-stack: $dll has aligned 256-bit moves through a register:" >&2
  echo "$aligned" >&2
  exit 1
fi
realigned=$(grep -cE 'and +\$0xffffffe0,%esp' <<<"$code" || true)
echo "check-avx-stack: $dll: $ymm instructions with 256-bit registers, none an aligned move through a register;" \
     "$realigned functions realign their frame to 32 bytes"
