#include "tests/pe_loader/checked_call.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvax::pe {
namespace {

// Shared with checked_call.S, which addresses the fields by these offsets.
struct CallFrame {
    std::uint32_t function;
    std::uint32_t thisPointer;
    const std::uint32_t* words;
    std::uint32_t count;
    std::uint32_t stackOffset;     // esp at the call instruction, mod 16
    std::uint32_t x87Control;      // low 16 bits
    std::uint32_t mxcsr;
    std::uint32_t eax;             // from here on written by the trampoline
    std::uint32_t edx;
    std::uint32_t espAtCall;
    std::uint32_t espAfter;
    std::uint32_t ebx;
    std::uint32_t esi;
    std::uint32_t edi;
    std::uint32_t ebp;
    std::uint32_t eflags;
    std::uint32_t mxcsrAfter;
    std::uint16_t x87Environment[14];   // fnstenv: control word 0, status 2, tags 4 (16-bit units)
};
static_assert(sizeof(void*) == 4, "the loader is a 32-bit program");
static_assert(offsetof(CallFrame, mxcsr) == 24);
static_assert(offsetof(CallFrame, eax) == 28);
static_assert(offsetof(CallFrame, eflags) == 60);
static_assert(offsetof(CallFrame, x87Environment) == 68);

// The values the trampoline puts into the callee-saved registers.
constexpr std::uint32_t kEbx = 0xB0B0B0B0;
constexpr std::uint32_t kEsi = 0x51515151;
constexpr std::uint32_t kEdi = 0xD1D1D1D1;
constexpr std::uint32_t kEbp = 0xB9B9B9B9;
constexpr std::uint32_t kDirectionFlag = 1u << 10;
constexpr std::uint32_t kMxcsrControl = 0xFFC0;

FpuControl gControl = {0x027F, 0x1F80};
CallCounts gCounts = {};

// The names of the calls under way, innermost last.
constexpr int kMaxDepth = 64;
const char* gCalls[kMaxDepth];
int gDepth = 0;

extern "C" void korvax_pe_checked_call(CallFrame* frame);


std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%#x", value);
    return text;
}

} // namespace

void ReportViolation(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "pe_loader: check failed: %s: %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::_Exit(3);
}

const char* CurrentCall()
{
    return gDepth > 0 ? gCalls[gDepth - 1] : nullptr;
}

void SetCallControl(FpuControl control)
{
    gControl = control;
}

CallCounts Counts()
{
    return gCounts;
}

std::uint64_t CheckedCall(const char* what, std::uint32_t function, Convention convention, std::uint32_t thisPointer,
                          const std::uint32_t* words, int count)
{
    // The caller's state, put back after the call.
    std::uint16_t callerX87;
    std::uint32_t callerMxcsr;
    __asm__ volatile("fnstcw %0\n\tstmxcsr %1" : "=m"(callerX87), "=m"(callerMxcsr));

    const std::uint32_t offset = std::uint32_t(gCounts.calls % 4) * 4;
    ++gCounts.calls;
    ++gCounts.atOffset[offset / 4];
    CallFrame frame = {};
    frame.function = function;
    frame.thisPointer = thisPointer;
    frame.words = words;
    frame.count = std::uint32_t(count);
    frame.stackOffset = offset;
    frame.x87Control = gControl.x87;
    frame.mxcsr = gControl.mxcsr;
    if (gDepth < kMaxDepth)
        gCalls[gDepth] = what;
    ++gDepth;
    korvax_pe_checked_call(&frame);
    --gDepth;

    const std::uint16_t x87After = frame.x87Environment[0];
    const std::uint16_t tags = frame.x87Environment[4];
    if (tags != 0xFFFF)
        __asm__ volatile("fninit");   // values left on the x87 stack: clear it before going on
    __asm__ volatile("fldcw %0\n\tldmxcsr %1" : : "m"(callerX87), "m"(callerMxcsr));

    const std::uint32_t popped = frame.espAfter - frame.espAtCall;
    const std::uint32_t expected = convention == Convention::Cdecl ? 0 : 4 * std::uint32_t(count);
    if (popped != expected)
        ReportViolation(what, "the callee popped " + std::to_string(std::int32_t(popped)) + " bytes of arguments, expected " +
                            std::to_string(expected));
    if (frame.ebx != kEbx || frame.esi != kEsi || frame.edi != kEdi || frame.ebp != kEbp)
        ReportViolation(what, "a callee-saved register changed: ebx " + Hex(frame.ebx) + ", esi " + Hex(frame.esi) +
                            ", edi " + Hex(frame.edi) + ", ebp " + Hex(frame.ebp));
    if (frame.eflags & kDirectionFlag)
        ReportViolation(what, "the direction flag is set on return");
    if (tags != 0xFFFF)
        ReportViolation(what, "values left on the x87 stack (tag word " + Hex(tags) + ")");
    if (x87After != gControl.x87)
        ReportViolation(what, "the x87 control word is " + Hex(x87After) + " on return, given " + Hex(gControl.x87));
    if ((frame.mxcsrAfter & kMxcsrControl) != (gControl.mxcsr & kMxcsrControl))
        ReportViolation(what, "MXCSR is " + Hex(frame.mxcsrAfter) + " on return, given " + Hex(gControl.mxcsr));
    return (std::uint64_t(frame.edx) << 32) | frame.eax;
}

} // namespace korvax::pe
