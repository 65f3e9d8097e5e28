// The four-lane double operations of fft_kernels.inl on AVX registers, for the
// files built for AVX and wider: each includes this inside its own unnamed
// namespace, as it does fft_kernels.inl.

struct Ops {
    using D4 = __m256d;
    static D4 Widen(__m128 f) { return _mm256_cvtps_pd(f); }
    static __m128 Narrow(D4 d) { return _mm256_cvtpd_ps(d); }
    static D4 Add(D4 a, D4 b) { return _mm256_add_pd(a, b); }
    static D4 Sub(D4 a, D4 b) { return _mm256_sub_pd(a, b); }
    static D4 Mul(D4 a, D4 b) { return _mm256_mul_pd(a, b); }
    static D4 Load(const double* p) { return _mm256_load_pd(p); }
    static D4 Broadcast(double x) { return _mm256_set1_pd(x); }
};
