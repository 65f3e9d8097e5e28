#include "dsp/fpu_guard.h"

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define KORVAX_HAS_MXCSR 1
#endif

namespace korvax {
namespace {

// The MXCSR bits that decide results: exception masks, rounding, flush-to-zero
// and denormals-are-zero. The low six are exception flags.
constexpr std::uint32_t kMxcsrControl = 0xFFC0;

#if defined(__i386__)
// The x87 status word's exception flags with the summary bits (error summary,
// busy) that follow them.
constexpr std::uint16_t kX87Flags = 0x80FF;

std::uint16_t X87Control() noexcept
{
    std::uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control;
}

std::uint16_t X87Status() noexcept
{
    std::uint16_t status;
    __asm__ volatile("fnstsw %0" : "=m"(status));
    return status;
}

void SetX87Control(std::uint16_t control) noexcept
{
    __asm__ volatile("fldcw %0" : : "m"(control));
}

// Puts back the caller's exception flags and control word. The flags can only
// be written through the whole environment (28 bytes in 32-bit mode: control
// word at 0, status word at 4).
void RestoreX87(std::uint16_t control, std::uint16_t status) noexcept
{
    std::uint16_t environment[14];
    __asm__ volatile("fnstenv %0" : "=m"(environment));
    environment[0] = control;
    environment[2] = static_cast<std::uint16_t>((environment[2] & ~kX87Flags) | (status & kX87Flags));
    __asm__ volatile("fldenv %0" : : "m"(environment));
}
#endif

} // namespace

FpuGuard::FpuGuard() noexcept
{
#if defined(KORVAX_HAS_MXCSR)
    hostMxcsr_ = _mm_getcsr();
    if ((hostMxcsr_ & kMxcsrControl) != kEngineMxcsr) {
        _mm_setcsr(kEngineMxcsr);
        mxcsrSet_ = true;
    }
#endif
#if defined(__i386__)
    hostX87Control_ = X87Control();
    if (hostX87Control_ != kEngineX87Control) {
        hostX87Status_ = X87Status();
        SetX87Control(kEngineX87Control);
        x87Set_ = true;
    }
#endif
}

FpuGuard::~FpuGuard() noexcept
{
#if defined(KORVAX_HAS_MXCSR)
    if (mxcsrSet_)
        _mm_setcsr(hostMxcsr_);
#endif
#if defined(__i386__)
    if (x87Set_) {
        if ((X87Status() & kX87Flags) != (hostX87Status_ & kX87Flags))
            RestoreX87(hostX87Control_, hostX87Status_);
        else
            SetX87Control(hostX87Control_);
    }
#endif
}

} // namespace korvax
