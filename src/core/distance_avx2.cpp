// AVX2 batched kernels: one lane per stored vector, so each lane is an ordinary in-order sum.
//
// A block is 8 vectors. For eight elements at a time, the terms of each vector are computed
// side by side and transposed in registers, so that column k holds the term of element i+k of
// every vector; the columns are then added to the accumulator in order. Two blocks run side
// by side because each lane's adds form one dependency chain, and a second, independent chain
// hides the adder's latency.
//
// Only separate multiply, subtract and add instructions are used: the file is compiled with
// -mavx2 alone, never -mfma, so no contraction can creep in. Only functions with internal
// linkage are defined here (see distance_kernels.hpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/distance_kernels.hpp"

namespace tarnwick::kernels {
namespace {

constexpr std::size_t LANES = 8;
// With two chains the shuffles of the transposes become the limit; more blocks measured no
// faster and spill registers.
constexpr std::size_t MAX_BLOCKS = 2;

struct Products {
  static __m256 term(__m256 query, __m256 stored) { return _mm256_mul_ps(query, stored); }
};

struct SquaredDifferences {
  static __m256 term(__m256 query, __m256 stored) {
    const __m256 difference = _mm256_sub_ps(query, stored);
    return _mm256_mul_ps(difference, difference);
  }
};

// Four floats of each of two vectors, as the low and high halves of one register. Plain
// loads (not broadcast built-ins) so that the address sanitizer checks them.
struct FullLoad {
  __m256 operator()(const float* low, const float* high, std::size_t) const {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high), 1);
  }
};

// Loads the first `count` of eight floats; the masked-off ones are never touched in memory.
struct TailLoad {
  __m128i masks[2];
  explicit TailLoad(std::size_t count) {
    static const std::int32_t table[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                           0,  0,  0,  0,  0,  0,  0,  0};
    masks[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 8 - count));
    masks[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 12 - count));
  }
  __m256 operator()(const float* low, const float* high, std::size_t half) const {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_maskload_ps(low, masks[half])),
                                _mm_maskload_ps(high, masks[half]), 1);
  }
};

// In each 128-bit half independently: four rows of four in, four columns of four out.
inline void transpose4(__m256 r0, __m256 r1, __m256 r2, __m256 r3, __m256* columns) {
  const __m256 t0 = _mm256_unpacklo_ps(r0, r1);
  const __m256 t1 = _mm256_unpackhi_ps(r0, r1);
  const __m256 t2 = _mm256_unpacklo_ps(r2, r3);
  const __m256 t3 = _mm256_unpackhi_ps(r2, r3);
  columns[0] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  columns[1] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  columns[2] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  columns[3] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
}

// The terms of elements i..i+7 of eight vectors, transposed: terms[k] lane j is the term of
// vectors[j][i + k]. Vectors j and j+4 share a register (low and high 128 bits) beside the
// matching query floats, so the terms are computed before the transpose and the transpose
// needs no lane-crossing shuffle.
template <class Term, class Load>
inline void load_terms(const float* query, const float* const* vectors, std::size_t i,
                       const Load& load, __m256 (&terms)[LANES]) {
  const __m256 query_low = load(query + i, query + i, 0);
  const __m256 query_high = load(query + i + 4, query + i + 4, 1);
  __m256 low[4];
  __m256 high[4];
#pragma GCC unroll 4
  for (std::size_t j = 0; j < 4; ++j) {
    low[j] = Term::term(query_low, load(vectors[j] + i, vectors[j + 4] + i, 0));
    high[j] = Term::term(query_high, load(vectors[j] + i + 4, vectors[j + 4] + i + 4, 1));
  }
  transpose4(low[0], low[1], low[2], low[3], terms);
  transpose4(high[0], high[1], high[2], high[3], terms + 4);
}

// Scores BLOCKS * 8 vectors (all valid for n floats) into out.
template <class Term, std::size_t BLOCKS>
void score_blocks(const float* query, const float* const* vectors, std::size_t n, float* out) {
  __m256 sums[BLOCKS];
#pragma GCC unroll 4
  for (std::size_t b = 0; b < BLOCKS; ++b) {
    sums[b] = _mm256_set1_ps(-0.0f);
  }
  std::size_t i = 0;
  for (; i + LANES <= n; i += LANES) {
#pragma GCC unroll 4
    for (std::size_t b = 0; b < BLOCKS; ++b) {
      __m256 terms[LANES];
      load_terms<Term>(query, vectors + b * LANES, i, FullLoad{}, terms);
#pragma GCC unroll 8
      for (std::size_t k = 0; k < LANES; ++k) {
        sums[b] = _mm256_add_ps(sums[b], terms[k]);
      }
    }
  }
  const std::size_t rest = n - i;
  if (rest != 0) {
    const TailLoad load(rest);
#pragma GCC unroll 4
    for (std::size_t b = 0; b < BLOCKS; ++b) {
      __m256 terms[LANES];
      load_terms<Term>(query, vectors + b * LANES, i, load, terms);
      for (std::size_t k = 0; k < rest; ++k) {
        sums[b] = _mm256_add_ps(sums[b], terms[k]);
      }
    }
  }
#pragma GCC unroll 4
  for (std::size_t b = 0; b < BLOCKS; ++b) {
    _mm256_storeu_ps(out + b * LANES, sums[b]);
  }
}

template <class Term>
void score_batch(const float* query, const float* const* vectors, std::size_t count,
                 std::size_t n, float* out) {
  constexpr std::size_t WIDE = MAX_BLOCKS * LANES;
  std::size_t j = 0;
  for (; count - j >= WIDE; j += WIDE) {
    score_blocks<Term, MAX_BLOCKS>(query, vectors + j, n, out + j);
  }
  const std::size_t rest = count - j;
  if (rest == 0) {
    return;
  }
  // The unused lanes read the query, which is known to hold n floats; their sums are dropped.
  const float* padded[WIDE];
  float sums[WIDE];
  for (std::size_t k = 0; k < WIDE; ++k) {
    padded[k] = k < rest ? vectors[j + k] : query;
  }
  if (rest <= LANES) {
    score_blocks<Term, 1>(query, padded, n, sums);
  } else {
    score_blocks<Term, MAX_BLOCKS>(query, padded, n, sums);
  }
  for (std::size_t k = 0; k < rest; ++k) {
    out[j + k] = sums[k];
  }
}

}  // namespace

void sum_products_batch_avx2(const float* query, const float* const* vectors, std::size_t count,
                             std::size_t n, float* out) {
  score_batch<Products>(query, vectors, count, n, out);
}

void sum_squared_differences_batch_avx2(const float* query, const float* const* vectors,
                                        std::size_t count, std::size_t n, float* out) {
  score_batch<SquaredDifferences>(query, vectors, count, n, out);
}

}  // namespace tarnwick::kernels
