#pragma once
// The kernel table. The signal engine has faster versions of five pieces for
// wider instruction sets: the transforms, working out and applying the band
// masks' gains, gathering pairs into the block pipelines, the cross-fade that
// reads them out, and runs of pairs through the dynamics stage. Each tier of
// instruction sets has one record of them, a Kernels; one record is chosen when
// the library loads (the widest tier the build and the processor offer) and the
// engine reaches every kernel through it.
//
//   tier     transforms      mask gains, gathering, cross-fade, dynamics
//   plain    dsp/real_fft    dsp/band_mask, dsp/block_engine, dsp/dynamics
//   sse2     dsp/sse2/       dsp/sse2/
//   avx      dsp/avx/        dsp/sse2/
//   avx512   dsp/avx512/     dsp/avx512/
//
// The plain code in the algorithm files is the reference: every kernel gives
// its results bit for bit, and raises no floating-point exception flag that the
// plain code would not raise for the same data (lanes whose result is not used
// do no arithmetic that could raise one).
//
// A kernel that works in steps (of several pairs or elements) does the steps
// that fit and returns how far it got; the plain code does the rest. The plain
// tier's entries are the plain code itself.
//
// For tests and benchmarks, the environment variable KORVAX_ISA (plain, sse2,
// avx or avx512), read when the library loads, caps the tier as a processor
// without the wider instruction sets would, and ScopedIsa switches tiers within
// the cap for a while.
//
// The kernel sources (dsp/sse2, dsp/avx, dsp/avx512) include this header and
// intrinsics headers only. This header holds no inline function: an inline
// function compiled into a file built for a wider instruction set could be the
// copy the linker keeps for every caller (scripts/ci.d/15-isa-objects.sh checks).

#include <cstdint>

#include "dsp/fft_kernels.h"

namespace korvax {

struct DynamicsCoefficients;

enum class Isa : std::int32_t { kPlain = 0, kSse2 = 1, kAvx = 2, kAvx512 = 3 };
inline constexpr std::int32_t kIsaCount = 4;

// ---- the kernels' interfaces -------------------------------------------------------

namespace mask {

// One band's mask shape: the edge indices (whole numbers held as doubles) and
// whether each ramp is on.
struct GainShape {
    double lowIndex;
    double highIndex;
    bool lowRampOn;
    bool highRampOn;
};

// The code of a step of two gain entries whose six gains (three bands) are each
// +0.0 or 1.0: kExactStep, and per band b bit 2b for the first entry at 1.0 and
// bit 2b + 1 for the second. Any other step has the code 0.
inline constexpr unsigned kExactStep = 0x80;

// The gains of the odd elements e = 1, 3, 5, ... of a spectrum of `count`
// elements for three band shapes, with s = quotients[(e - 1) / 2] * k:
// gain[b][(e - 1) / 2], and the step codes codes[(e - 1) / 4] of every two
// entries. Returns the first odd element not done (a step boundary).
using PrepareGainsFunction = std::int32_t(const GainShape (&shapes)[3], const double* quotients, double k,
                                           std::int32_t count, double* const (&gain)[3], std::uint8_t* codes) noexcept;

// Elements 1, 2, ... of one channel's three bands (right[0] null) or two
// channels' scaled by the gains: band 0 holds the spectrum and is scaled in
// place, bands 1 and 2 receive it scaled. Element pair e, e + 1 (e odd) takes
// gain[b][(e - 1) / 2]. Returns the first odd element not done.
using ApplyGainsFunction = std::int32_t(float* const (&left)[3], float* const (&right)[3], std::int32_t count,
                                         const double* const (&gain)[3], const std::uint8_t* codes) noexcept;

} // namespace mask

namespace engine {

// Gathering of pairs 0 .. count - 1: pair j's input (input[2j], input[2j + 1])
// times `gain` in double, rounded to float and held within +-limit (NaN
// passing), to toA[channel][j] and toB[channel][j]. Returns the pairs done.
using GatherFunction = std::int32_t(const float* input, double gain, float limit, float* const (&toA)[2],
                                     float* const (&toB)[2], std::int32_t count) noexcept;

// Cross-fade of pairs 0 .. count - 1: pair j reads value v (low L, low R, mid
// L, mid R, high L, high R) at fromA[v][j] and fromB[v][j], weighs them by the
// weights of pipeline A's position first + j and writes the six band values to
// bands[6j .. 6j + 5]. Returns the pairs done.
using CrossFadeFunction = std::int32_t(const float* const (&fromA)[6], const float* const (&fromB)[6],
                                        std::uint32_t first, float* bands, std::int32_t count) noexcept;

} // namespace engine

namespace dyn {

// `count` pairs through the dynamics stage: six band values per pair from
// bands[6i], two outputs to out[2i], the eight gain states in gains[0 .. 7]
// carried from pair to pair. Only for coefficients and gains in their usual
// ranges (BoundedCase in dsp/dynamics.cpp); the plain tier takes any.
// With `lowest` not null, lowest[0 .. 7] also takes, per gain state, the
// smallest value it held after any of the pairs (the meters); with it null the
// kernel does exactly the work it does without meters.
using PairsFunction = void(const DynamicsCoefficients& c, float* gains, const float* bands, float* out,
                            std::int32_t count, float* lowest) noexcept;

} // namespace dyn

// ---- the table -----------------------------------------------------------------------

struct Kernels {
    Isa isa;
    const fft::Transforms* transforms;   // null: the plain transforms throughout
    mask::PrepareGainsFunction* prepareGains;
    mask::ApplyGainsFunction* applyGains;
    engine::GatherFunction* gather;
    engine::CrossFadeFunction* crossFade;
    dyn::PairsFunction* dynamics;
};

// The chosen record (the plain one until the library has loaded).
const Kernels& ActiveKernels() noexcept;

// Whether the build and the processor offer the tier, within the KORVAX_ISA cap.
bool IsaAvailable(Isa isa) noexcept;
// The widest tier available: the one chosen when the library loaded.
Isa WidestIsa() noexcept;
// "plain", "sse2", "avx", "avx512".
const char* IsaName(Isa isa) noexcept;
// Whether KORVAX_ISA, if set, named a tier (an unknown name caps at plain).
bool IsaCapRecognised() noexcept;

// For tests and benchmarks: the tier's kernels while the object lives, then the
// ones before. A tier that is not available changes nothing (Active() false).
// Not safe while another thread processes.
class ScopedIsa {
public:
    explicit ScopedIsa(Isa isa) noexcept;
    ~ScopedIsa();
    ScopedIsa(const ScopedIsa&) = delete;
    ScopedIsa& operator=(const ScopedIsa&) = delete;
    bool Active() const noexcept;

private:
    const Kernels* previous_;
    bool active_;
};

// ---- the kernels of each tier ----------------------------------------------------------

namespace plain {   // the algorithm files
mask::PrepareGainsFunction PrepareGains;
mask::ApplyGainsFunction ApplyGains;
engine::GatherFunction Gather;
engine::CrossFadeFunction CrossFade;
dyn::PairsFunction DynamicsPairs;
} // namespace plain

namespace sse2 {   // dsp/sse2/
extern const fft::Transforms kTransforms;
mask::PrepareGainsFunction PrepareGains;
mask::ApplyGainsFunction ApplyGains;
engine::GatherFunction Gather;
engine::CrossFadeFunction CrossFade;
dyn::PairsFunction DynamicsPairs;
} // namespace sse2

namespace avx {   // dsp/avx/
extern const fft::Transforms kTransforms;
} // namespace avx

namespace avx512 {   // dsp/avx512/
extern const fft::Transforms kTransforms;
mask::PrepareGainsFunction PrepareGains;
mask::ApplyGainsFunction ApplyGains;
engine::GatherFunction Gather;
engine::CrossFadeFunction CrossFade;
dyn::PairsFunction DynamicsPairs;
} // namespace avx512

} // namespace korvax
