#pragma once
// The wide kernel behind ProcessDynamicsPairs, and the choice of it. Internal
// to dsp/: the engine and the tests reach the stage through dsp/dynamics.h; the
// tests use the choice below to run every path.

#include <cstdint>

#include "dsp/dynamics.h"

namespace korvax::dyn {

// ProcessDynamicsPairs for coefficients and gains in their usual ranges (see
// BoundedCase in dynamics.cpp), the three band compressors in one register of
// eight double lanes. Built for AVX-512 (F and VL).
void ProcessPairsBoundedAvx512(const DynamicsCoefficients& c, GainStates& gains, const BandValues* bands,
                               OutputPair* out, std::int32_t count) noexcept;

// For tests: whether ProcessDynamicsPairs uses the wide kernel where the
// processor has it (the default). Returns false, changing nothing, when asked
// for a kernel this build or processor lacks.
bool UseWideDynamics(bool wide) noexcept;
bool WideDynamicsAvailable() noexcept;

} // namespace korvax::dyn
