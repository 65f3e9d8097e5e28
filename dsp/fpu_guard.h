#pragma once
// FpuGuard: for its lifetime, the floating-point state the engine's bits are
// defined under; on destruction, the caller's state again.
//
// The machine runs on its host's threads, in whatever state the host and the
// other libraries in its process left there: SSE rounding toward zero or
// flush-to-zero, an x87 unit at 24-bit precision, exceptions unmasked for
// debugging. Each changes results or traps. So every slot that computes, and
// each table filled when the library loads, holds one of these:
//   - MXCSR 0x1F80: every exception masked, round to nearest, denormals kept
//     (neither flush-to-zero nor denormals-are-zero);
//   - on 32-bit x86 also the x87 control word 0x027F: every exception masked,
//     53-bit precision, round to nearest. The engine does its arithmetic in SSE2
//     there too; the x87 unit only carries float and double return values (a
//     denormal or signalling NaN loaded there raises an exception).
// Where the caller's state already is the engine's, nothing is written. Where
// it is not, the caller's state is restored exactly on destruction: its control
// bits and its exception flags, so that the call neither leaves flags of its own
// nor leaves an unmasked x87 exception pending for the caller's next instruction.
// Other processors: does nothing.

#include <cstdint>

namespace korvax {

class FpuGuard {
public:
    static constexpr std::uint32_t kEngineMxcsr = 0x1F80;
    static constexpr std::uint16_t kEngineX87Control = 0x027F;

    FpuGuard() noexcept;
    ~FpuGuard() noexcept;
    FpuGuard(const FpuGuard&) = delete;
    FpuGuard& operator=(const FpuGuard&) = delete;

private:
    std::uint32_t hostMxcsr_ = 0;
    bool mxcsrSet_ = false;
    std::uint16_t hostX87Control_ = 0;
    std::uint16_t hostX87Status_ = 0;
    bool x87Set_ = false;
};

} // namespace korvax
