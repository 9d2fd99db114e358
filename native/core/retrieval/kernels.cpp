#include "core/retrieval/kernels.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TAVRIN_X86 1
#endif

namespace tavrin::retrieval::kernels {
namespace {

#if TAVRIN_X86

// ------------------------------------------------ x86-64 baseline: SSE2
namespace baseline {
#define KT
using V = __m128d;
constexpr std::size_t W = 2;
constexpr int ROWS = 2;
constexpr int QUERIES = 2;
inline V vzero() noexcept { return _mm_setzero_pd(); }
inline V vload(const double *p) noexcept { return _mm_loadu_pd(p); }
inline V vload(const float *p) noexcept { return _mm_set_pd(static_cast<double>(p[1]), static_cast<double>(p[0])); }
inline V vfma(V a, V b, V acc) noexcept { return _mm_add_pd(_mm_mul_pd(a, b), acc); }
inline double vhsum(V v) noexcept { return _mm_cvtsd_f64(v) + _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }
// compiled without FMA, so never contracted into a fused step
inline double sfma(double a, double b, double acc) noexcept { return a * b + acc; }
#include "core/retrieval/kernel_body.inc"
#undef KT
} // namespace baseline

// ------------------------------------------------ AVX2 + FMA
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {
#define KT __attribute__((target("avx2,fma")))
using V = __m256d;
constexpr std::size_t W = 4;
constexpr int ROWS = 4;
constexpr int QUERIES = 2;
KT inline V vzero() noexcept { return _mm256_setzero_pd(); }
KT inline V vload(const double *p) noexcept { return _mm256_loadu_pd(p); }
KT inline V vload(const float *p) noexcept { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
KT inline V vfma(V a, V b, V acc) noexcept { return _mm256_fmadd_pd(a, b, acc); }
KT inline double vhsum(V v) noexcept {
    __m128d lo = _mm256_castpd256_pd128(v), hi = _mm256_extractf128_pd(v, 1);
    __m128d s = _mm_add_pd(lo, hi); // (l0 + l2, l1 + l3)
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
}
KT inline double sfma(double a, double b, double acc) noexcept { return __builtin_fma(a, b, acc); }
#include "core/retrieval/kernel_body.inc"
#undef KT
} // namespace avx2
#pragma GCC pop_options

// ------------------------------------------------ AVX-512
#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
namespace avx512 {
#define KT __attribute__((target("avx512f,avx2,fma")))
using V = __m512d;
constexpr std::size_t W = 8;
constexpr int ROWS = 4;
constexpr int QUERIES = 4;
KT inline V vzero() noexcept { return _mm512_setzero_pd(); }
KT inline V vload(const double *p) noexcept { return _mm512_loadu_pd(p); }
// (the masked forms: GCC 12 warns about the unmasked ones' placeholder operand)
KT inline V vload(const float *p) noexcept { return _mm512_maskz_cvtps_pd(0xFF, _mm256_loadu_ps(p)); }
KT inline V vfma(V a, V b, V acc) noexcept { return _mm512_fmadd_pd(a, b, acc); }
KT inline double vhsum(V v) noexcept {
    alignas(64) double t[8];
    _mm512_store_pd(t, v);
    return ((t[0] + t[4]) + (t[2] + t[6])) + ((t[1] + t[5]) + (t[3] + t[7]));
}
KT inline double sfma(double a, double b, double acc) noexcept { return __builtin_fma(a, b, acc); }
#include "core/retrieval/kernel_body.inc"
#undef KT
} // namespace avx512
#pragma GCC pop_options

#else // not x86-64: plain C++

namespace baseline {
#define KT
struct V {
    double x;
};
constexpr std::size_t W = 1;
constexpr int ROWS = 4;
constexpr int QUERIES = 1;
inline V vzero() noexcept { return V{0.0}; }
inline V vload(const double *p) noexcept { return V{*p}; }
inline V vload(const float *p) noexcept { return V{static_cast<double>(*p)}; }
inline V vfma(V a, V b, V acc) noexcept { return V{a.x * b.x + acc.x}; }
inline double vhsum(V v) noexcept { return v.x; }
inline double sfma(double a, double b, double acc) noexcept { return a * b + acc; }
#include "core/retrieval/kernel_body.inc"
#undef KT
} // namespace baseline

#endif

// The kernels of one instruction set.
struct Impl {
    const char *name;
    double (*dot_d)(const double *, const double *, std::size_t) noexcept;
    double (*dot_f)(const float *, const double *, std::size_t) noexcept;
    double (*sq_d)(const double *, std::size_t) noexcept;
    double (*sq_f)(const float *, std::size_t) noexcept;
    void (*dots_d)(const double *, std::size_t, std::size_t, const double *, std::size_t, double *,
                   std::size_t) noexcept;
    void (*dots_f)(const float *, std::size_t, std::size_t, const double *, std::size_t, double *,
                   std::size_t) noexcept;
};

#define TAVRIN_IMPL(ns)                                                                                            \
    Impl {                                                                                                         \
        #ns, ns::dot_t<double>, ns::dot_t<float>, ns::sum_squares_t<double>, ns::sum_squares_t<float>,             \
            ns::dots_t<double>, ns::dots_t<float>                                                                  \
    }

const Impl baseline_impl = TAVRIN_IMPL(baseline);
#if TAVRIN_X86
const Impl avx2_impl = TAVRIN_IMPL(avx2);
const Impl avx512_impl = TAVRIN_IMPL(avx512);
#endif

const Impl *detect() noexcept {
#if TAVRIN_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return &avx512_impl;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return &avx2_impl;
#endif
    return &baseline_impl;
}

std::atomic<const Impl *> &active() noexcept {
    static std::atomic<const Impl *> impl{detect()};
    return impl;
}

const Impl &impl() noexcept { return *active().load(std::memory_order_relaxed); }

} // namespace

const char *instruction_set() noexcept { return impl().name; }

const char *force_instruction_set(const char *name) noexcept {
    const Impl *best = detect();
    const Impl *wanted = best;
    if (std::strcmp(name, "baseline") == 0)
        wanted = &baseline_impl;
#if TAVRIN_X86
    else if (std::strcmp(name, "avx2") == 0 && best != &baseline_impl)
        wanted = &avx2_impl;
#endif
    return active().exchange(wanted)->name;
}

double dot(const double *a, const double *b, std::size_t n) noexcept { return impl().dot_d(a, b, n); }
double dot(const float *a, const double *b, std::size_t n) noexcept { return impl().dot_f(a, b, n); }
double sum_squares(const double *a, std::size_t n) noexcept { return impl().sq_d(a, n); }
double sum_squares(const float *a, std::size_t n) noexcept { return impl().sq_f(a, n); }

void dots(const double *rows, std::size_t n_rows, std::size_t dim, const double *queries, std::size_t n_queries,
          double *out, std::size_t out_stride) noexcept {
    impl().dots_d(rows, n_rows, dim, queries, n_queries, out, out_stride);
}
void dots(const float *rows, std::size_t n_rows, std::size_t dim, const double *queries, std::size_t n_queries,
          double *out, std::size_t out_stride) noexcept {
    impl().dots_f(rows, n_rows, dim, queries, n_queries, out, out_stride);
}

} // namespace tavrin::retrieval::kernels
