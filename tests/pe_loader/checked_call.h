#pragma once
// The one way the loader calls into the DLL: every entry point, slot, TLS
// callback, DllMain and start-up routine goes through CheckedCall, which makes
// the call the way a careful Windows host does and checks what the callee
// leaves behind:
//   - esp at the call instruction at 0, 4, 8 and 12 mod 16 in turn (the host
//     keeps only 4-byte alignment);
//   - the x87 control word and MXCSR of the host state, set before the call;
//   - afterwards: the callee popped exactly its arguments (stdcall and thiscall)
//     or none (cdecl); ebx, esi, edi and ebp hold what they held; the direction
//     flag is clear; the x87 stack is empty; the x87 control word and MXCSR's
//     control bits are as they were given.
// A violation is printed with the name of the call and ends the program with
// status 3. The caller's own floating-point state is restored after each call.

#include <cstdint>
#include <string>

namespace korvax::pe {

enum class Convention { Cdecl, Stdcall, Thiscall };

// The floating-point control state every call is made in.
struct FpuControl {
    std::uint16_t x87;
    std::uint32_t mxcsr;
};
void SetCallControl(FpuControl control);

// Calls `function`, a DLL address, with `count` 32-bit arguments (and
// `thisPointer` in ECX for thiscall); returns EDX:EAX. `what` names the call
// in a report of a violation.
std::uint64_t CheckedCall(const char* what, std::uint32_t function, Convention convention,
                          std::uint32_t thisPointer, const std::uint32_t* words, int count);

// Prints "check failed: `what`: `detail`" and ends the program with status 3.
[[noreturn]] void ReportViolation(const char* what, const std::string& detail);

// The name of the innermost call into the DLL under way, or null.
const char* CurrentCall();

// Calls made so far, and how many of them were made at each esp offset (mod 16
// at the call instruction: 0, 4, 8, 12).
struct CallCounts {
    std::uint64_t calls;
    std::uint64_t atOffset[4];
};
CallCounts Counts();

} // namespace korvax::pe
