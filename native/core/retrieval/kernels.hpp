// Dot-product kernels for the retrieval engine, compiled for several
// instruction sets and chosen once, at run time, for the CPU the process runs
// on: AVX-512, AVX2 with FMA, or the x86-64 baseline (SSE2). The build stays
// portable: nothing here needs the CPU it was compiled on.
//
// Every kernel sums one pair of vectors in the same order (one vector
// accumulator over the values, lanes added in a fixed order, then the tail),
// so dot() and dots() give bit-identical results for the same pair: a search
// of one query and a block search of many rank documents identically.
#pragma once

#include <cstddef>

namespace tavrin::retrieval::kernels {

// The instruction set the kernels run on: "avx512", "avx2" or "baseline".
const char *instruction_set() noexcept;

// Runs the kernels of `name` ("baseline", "avx2"; anything else: the best
// the CPU has) from now on, for tests and benchmarks that compare the sets;
// returns the set that was active. A set the CPU lacks is never chosen.
const char *force_instruction_set(const char *name) noexcept;

double dot(const double *a, const double *b, std::size_t n) noexcept;
double dot(const float *a, const double *b, std::size_t n) noexcept;
double sum_squares(const double *a, std::size_t n) noexcept;
double sum_squares(const float *a, std::size_t n) noexcept;

// out[r * out_stride + q] = dot(rows + r * dim, queries + q * dim, dim)
// for every r < n_rows and q < n_queries.
void dots(const double *rows, std::size_t n_rows, std::size_t dim, const double *queries, std::size_t n_queries,
          double *out, std::size_t out_stride) noexcept;
void dots(const float *rows, std::size_t n_rows, std::size_t dim, const double *queries, std::size_t n_queries,
          double *out, std::size_t out_stride) noexcept;

} // namespace tavrin::retrieval::kernels
