#pragma once
// What the processor offers the wide kernels, asked when the library loads.

namespace korvax::processor {

// Whether the processor, and the system (which must save the wider registers),
// offer AVX, and AVX-512 with its 128- and 256-bit forms (F and VL). A build
// without the wide kernels answers false.
bool HasAvx() noexcept;
bool HasAvx512() noexcept;

} // namespace korvax::processor
