#pragma once
// What the loader binds a DLL's imports to: its own stand-ins for the KERNEL32
// and msvcrt functions a MinGW-built DLL imports (KERNEL32's are stdcall, the
// C runtime's cdecl, as on Windows), and storage of the right shape for the
// runtime's data (_iob, __mb_cur_max). They behave as a single-threaded
// process would see them; nothing reaches the real system but memory and
// stderr. The heap hands out blocks at 8 mod 16 (the most the C runtime
// promises is 8) filled with 0xFF, and aligned blocks aligned exactly as asked
// and no more.

#include <cstdint>

namespace korvax::pe {

struct StandIn {
    const char* module;   // as Windows names it, e.g. "KERNEL32.dll"
    const char* name;
    void* address;        // the function, or the data's storage
    const char* kind;     // for the listing: "stdcall, 2 arguments", "cdecl", "data: int"
};

// The stand-in for module!name (module compared without regard to case), or null.
const StandIn* FindStandIn(const char* module, const char* name);

// The C runtime's locale as localeconv and setlocale report it: a decimal comma
// (as a host that sets its user's German locale has it) or the "C" locale.
void UseDecimalComma(bool comma);

// The mapped image, which VirtualQuery and VirtualProtect describe and change.
// `protection` holds one Windows PAGE_* value per page.
void SetImagePages(std::uint32_t base, std::uint32_t pages, std::uint32_t* protection);

// Calls into the DLL that a stand-in makes (_initterm's entries) go through the
// checking trampoline; this names them there.
inline constexpr const char* kInitTermCall = "a start-up routine called through _initterm";

} // namespace korvax::pe
