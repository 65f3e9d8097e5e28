#include "dsp/kernels.h"

#include <cstdlib>
#include <cstring>

#include "dsp/fpu_guard.h"

namespace korvax {
namespace {

// The tiers this build has kernels for: KORVAX_KERNELS_<TIER>, set by the
// build for each folder it compiles (CMakeLists.txt, korvax_isa_kernels).
constexpr Kernels kPlainKernels = {Isa::kPlain,        nullptr,          &plain::PrepareGains, &plain::ApplyGains,
                                   &plain::Gather,     &plain::CrossFade, &plain::DynamicsPairs};
#if defined(KORVAX_KERNELS_SSE2)
constexpr Kernels kSse2Kernels = {Isa::kSse2,         &sse2::kTransforms, &sse2::PrepareGains, &sse2::ApplyGains,
                                  &sse2::Gather,      &sse2::CrossFade,   &sse2::DynamicsPairs};
#endif
#if defined(KORVAX_KERNELS_AVX)
// AVX widens only the transforms; everything else is the SSE2 tier's.
constexpr Kernels kAvxKernels = {Isa::kAvx,          &avx::kTransforms, &sse2::PrepareGains, &sse2::ApplyGains,
                                 &sse2::Gather,      &sse2::CrossFade,  &sse2::DynamicsPairs};
#endif
#if defined(KORVAX_KERNELS_AVX512)
constexpr Kernels kAvx512Kernels = {Isa::kAvx512,      &avx512::kTransforms, &avx512::PrepareGains,
                                    &avx512::ApplyGains, &avx512::Gather,     &avx512::CrossFade,
                                    &avx512::DynamicsPairs};
#endif

// The record of a tier this build has, or null.
const Kernels* Built(Isa isa) noexcept
{
    switch (isa) {
    case Isa::kPlain: return &kPlainKernels;
#if defined(KORVAX_KERNELS_SSE2)
    case Isa::kSse2: return &kSse2Kernels;
#endif
#if defined(KORVAX_KERNELS_AVX)
    case Isa::kAvx: return &kAvxKernels;
#endif
#if defined(KORVAX_KERNELS_AVX512)
    case Isa::kAvx512: return &kAvx512Kernels;
#endif
    default: return nullptr;
    }
}

// Whether the processor, and the system (which must save the wider registers),
// run the tier's instructions. SSE2 is part of every x86-64 processor and of
// what the 32-bit build requires (-msse2).
bool ProcessorRuns(Isa isa) noexcept
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    switch (isa) {
    case Isa::kAvx: return __builtin_cpu_supports("avx") != 0;
    case Isa::kAvx512: return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0;
    default: return true;
    }
#else
    return isa == Isa::kPlain;
#endif
}

struct Cap {
    Isa isa;
    bool recognised;
};

// KORVAX_ISA, read once: a tier's name caps the choice at that tier; an
// unknown name caps it at the plain code (slow but right, and the tests
// report it); unset or empty leaves it uncapped.
Cap ReadCap() noexcept
{
    const char* const text = std::getenv("KORVAX_ISA");
    if (text == nullptr || *text == '\0')
        return {Isa::kAvx512, true};
    for (std::int32_t i = 0; i < kIsaCount; ++i)
        if (std::strcmp(text, IsaName(Isa(i))) == 0)
            return {Isa(i), true};
    return {Isa::kPlain, false};
}

// Constant-initialised: any use before the choice below gets the plain code.
const Kernels* gActive = &kPlainKernels;
Cap gCap = {Isa::kPlain, true};
Isa gWidest = Isa::kPlain;

// Runs when the library loads, before any machine exists. The loading thread's
// floating-point state is the host's: the twiddle recurrence runs under the
// engine's.
const bool gChosen = [] {
    {
        const FpuGuard guard;
        fft::FillTwiddleTables();
    }
    gCap = ReadCap();
    for (std::int32_t i = 0; i < kIsaCount; ++i)
        if (IsaAvailable(Isa(i)))
            gWidest = Isa(i);
    gActive = Built(gWidest);
    return true;
}();

} // namespace

const Kernels& ActiveKernels() noexcept
{
    return *gActive;
}

bool IsaAvailable(Isa isa) noexcept
{
    return Built(isa) != nullptr && isa <= gCap.isa && ProcessorRuns(isa);
}

Isa WidestIsa() noexcept
{
    return gWidest;
}

const char* IsaName(Isa isa) noexcept
{
    switch (isa) {
    case Isa::kPlain: return "plain";
    case Isa::kSse2: return "sse2";
    case Isa::kAvx: return "avx";
    case Isa::kAvx512: return "avx512";
    }
    return "?";
}

bool IsaCapRecognised() noexcept
{
    return gCap.recognised;
}

ScopedIsa::ScopedIsa(Isa isa) noexcept : previous_(gActive), active_(gChosen && IsaAvailable(isa))
{
    if (active_)
        gActive = Built(isa);
}

ScopedIsa::~ScopedIsa()
{
    gActive = previous_;
}

bool ScopedIsa::Active() const noexcept
{
    return active_;
}

} // namespace korvax
