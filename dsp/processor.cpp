#include "dsp/processor.h"

namespace korvax::processor {

bool HasAvx() noexcept
{
#if defined(KORVAX_FFT_AVX)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
#else
    return false;
#endif
}

bool HasAvx512() noexcept
{
#if defined(KORVAX_FFT_AVX512)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0;
#else
    return false;
#endif
}

} // namespace korvax::processor
