#pragma once
// The floating-point and locale states a host may call the machine in. The
// machine must give the same report in each: the host check runs the built
// library under them natively, the PE loader runs the Windows DLL under them.

#include <cstdint>

namespace korvax::host_check {

struct HostState {
    const char* name;
    std::uint16_t x87Control;   // the x87 control word during each call into the machine
    std::uint32_t mxcsr;        // MXCSR during each call into the machine
    bool decimalComma;          // the C runtime's locale has a decimal comma (the PE loader only)
    bool relocated;             // the DLL is loaded away from its preferred base (the PE loader only)
};

// The first is Windows' default: x87 at 53-bit precision, every exception
// masked, round to nearest both in the x87 unit and in SSE.
inline constexpr HostState kHostStates[] = {
    {"windows-default", 0x027F, 0x1F80, false, false},
    {"x87-24-bit", 0x007F, 0x1F80, false, false},
    {"x87-64-bit", 0x037F, 0x1F80, false, false},
    {"x87-round-down", 0x067F, 0x1F80, false, false},
    {"x87-round-up", 0x0A7F, 0x1F80, false, false},
    {"x87-round-to-zero", 0x0E7F, 0x1F80, false, false},
    {"sse-flush-to-zero", 0x027F, 0x9FC0, false, false},   // with denormals-are-zero
    {"sse-round-down", 0x027F, 0x3F80, false, false},
    {"sse-round-up", 0x027F, 0x5F80, false, false},
    {"sse-round-to-zero", 0x027F, 0x7F80, false, false},
    {"exceptions-unmasked", 0x0260, 0x1000, false, false},  // every one but inexact, in both units
    {"decimal-comma", 0x027F, 0x1F80, true, false},
    {"relocated", 0x027F, 0x1F80, false, true},
};

inline const HostState* FindHostState(const char* name)
{
    for (const HostState& state : kHostStates) {
        const char* a = state.name;
        const char* b = name;
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0')
            return &state;
    }
    return nullptr;
}

} // namespace korvax::host_check
