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

#include <cfloat>
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

// Column blocks: a lane per vector with no transposes. Each query's sums over BLOCKS groups
// of eight lanes are independent chains; several queries share each load of the columns.
template <std::size_t QUERIES, std::size_t BLOCKS>
void column_pass(const float* const* queries, const float* columns, std::size_t stride,
                 std::size_t lane, std::size_t n, float* out) {
  __m256 sums[QUERIES][BLOCKS];
#pragma GCC unroll 4
  for (std::size_t q = 0; q < QUERIES; ++q) {
#pragma GCC unroll 4
    for (std::size_t b = 0; b < BLOCKS; ++b) {
      sums[q][b] = _mm256_set1_ps(-0.0f);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float* row = columns + i * stride + lane;
    __m256 stored[BLOCKS];
#pragma GCC unroll 4
    for (std::size_t b = 0; b < BLOCKS; ++b) {
      stored[b] = _mm256_loadu_ps(row + b * LANES);
    }
#pragma GCC unroll 4
    for (std::size_t q = 0; q < QUERIES; ++q) {
      const __m256 element = _mm256_set1_ps(queries[q][i]);
#pragma GCC unroll 4
      for (std::size_t b = 0; b < BLOCKS; ++b) {
        sums[q][b] = _mm256_add_ps(sums[q][b], _mm256_mul_ps(element, stored[b]));
      }
    }
  }
#pragma GCC unroll 4
  for (std::size_t q = 0; q < QUERIES; ++q) {
#pragma GCC unroll 4
    for (std::size_t b = 0; b < BLOCKS; ++b) {
      _mm256_storeu_ps(out + q * stride + lane + b * LANES, sums[q][b]);
    }
  }
}

// Covers the groups of lanes from `first` to `last` with passes of BLOCKS groups, and single
// groups for the rest. Fewer queries leave registers for more groups per pass.
template <std::size_t QUERIES>
void column_passes(const float* const* queries, const float* columns, std::size_t stride,
                   std::size_t first, std::size_t last, std::size_t n, float* out) {
  constexpr std::size_t BLOCKS = QUERIES <= 2 ? 4 : 2;
  const std::size_t end = (last + LANES - 1) / LANES * LANES;  // within stride
  std::size_t lane = first / LANES * LANES;
  for (; end - lane >= BLOCKS * LANES; lane += BLOCKS * LANES) {
    column_pass<QUERIES, BLOCKS>(queries, columns, stride, lane, n, out);
  }
  for (; lane < end; lane += LANES) {
    column_pass<QUERIES, 1>(queries, columns, stride, lane, n, out);
  }
}

}  // namespace

void sum_products_columns_avx2(const float* const* queries, std::size_t query_count,
                               const float* columns, std::size_t stride, std::size_t first,
                               std::size_t last, std::size_t n, float* out) {
  if (first >= last) {
    return;
  }
  switch (query_count) {
    case 0:
      return;
    case 1:
      return column_passes<1>(queries, columns, stride, first, last, n, out);
    case 2:
      return column_passes<2>(queries, columns, stride, first, last, n, out);
    case 3:
      return column_passes<3>(queries, columns, stride, first, last, n, out);
    default:
      return column_passes<4>(queries, columns, stride, first, last, n, out);
  }
}

// Eight vectors at a time, moved in 8 x 8 tiles transposed in registers.
void lay_out_columns_avx2(const float* const* vectors, std::size_t count, std::size_t n,
                          float* columns, std::size_t stride) {
  for (std::size_t c = 0; c < stride; c += LANES) {
    const float* group[LANES];
    for (std::size_t k = 0; k < LANES; ++k) {
      group[k] = c + k < count ? vectors[c + k] : vectors[0];
    }
    std::size_t i = 0;
    for (; i + LANES <= n; i += LANES) {
      __m256 rows[LANES];
#pragma GCC unroll 8
      for (std::size_t k = 0; k < LANES; ++k) {
        rows[k] = _mm256_loadu_ps(group[k] + i);
      }
      __m256 pairs[LANES];
#pragma GCC unroll 4
      for (std::size_t k = 0; k < LANES; k += 2) {
        pairs[k] = _mm256_unpacklo_ps(rows[k], rows[k + 1]);
        pairs[k + 1] = _mm256_unpackhi_ps(rows[k], rows[k + 1]);
      }
      __m256 quads[LANES];
#pragma GCC unroll 2
      for (std::size_t k = 0; k < LANES; k += 4) {
        quads[k] = _mm256_shuffle_ps(pairs[k], pairs[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
        quads[k + 1] = _mm256_shuffle_ps(pairs[k], pairs[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
        quads[k + 2] = _mm256_shuffle_ps(pairs[k + 1], pairs[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
        quads[k + 3] = _mm256_shuffle_ps(pairs[k + 1], pairs[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
      }
      float* out = columns + i * stride + c;
#pragma GCC unroll 4
      for (std::size_t k = 0; k < 4; ++k) {
        _mm256_storeu_ps(out + k * stride, _mm256_permute2f128_ps(quads[k], quads[k + 4], 0x20));
        _mm256_storeu_ps(out + (k + 4) * stride, _mm256_permute2f128_ps(quads[k], quads[k + 4], 0x31));
      }
    }
    for (; i < n; ++i) {
      for (std::size_t k = 0; k < LANES; ++k) {
        columns[i * stride + c + k] = group[k][i];
      }
    }
  }
}

// Each step of the distance is a single correctly rounded operation, so the lanes give the
// scalar bits; the rank is then the same integer map as distance_rank.
void cosine_ranks_from_roots_avx2(const float* sums, float root, const float* roots,
                                  std::size_t count, std::uint32_t* ranks) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 failed = _mm256_set1_ps(FLT_MAX);  // MAX_DISTANCE
  const __m256i top_bit = _mm256_set1_epi32(INT32_MIN);
  const __m256 base = _mm256_set1_ps(root);
  const __m256 base_fails = _mm256_cmp_ps(base, zero, _CMP_EQ_OQ);
  auto rank = [&](const float* group_sums, const float* group_roots, std::uint32_t* group_ranks) {
    const __m256 other = _mm256_loadu_ps(group_roots);
    const __m256 similarity = _mm256_div_ps(_mm256_loadu_ps(group_sums), _mm256_mul_ps(base, other));
    const __m256 fails = _mm256_or_ps(base_fails, _mm256_cmp_ps(other, zero, _CMP_EQ_OQ));
    const __m256 distance = _mm256_blendv_ps(_mm256_sub_ps(one, similarity), failed, fails);
    // Both zeros as +0; negatives flipped whole, the rest with the top bit set; NaN last.
    const __m256i bits = _mm256_castps_si256(_mm256_andnot_ps(_mm256_cmp_ps(distance, zero, _CMP_EQ_OQ), distance));
    const __m256i flip = _mm256_or_si256(_mm256_srai_epi32(bits, 31), top_bit);
    const __m256i nan = _mm256_castps_si256(_mm256_cmp_ps(distance, distance, _CMP_UNORD_Q));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(group_ranks), _mm256_or_si256(_mm256_xor_si256(bits, flip), nan));
  };
  std::size_t c = 0;
  for (; c + LANES <= count; c += LANES) {
    rank(sums + c, roots + c, ranks + c);
  }
  if (c < count) {
    float tail_sums[LANES] = {};
    float tail_roots[LANES] = {};
    std::uint32_t tail_ranks[LANES];
    for (std::size_t k = 0; c + k < count; ++k) {
      tail_sums[k] = sums[c + k];
      tail_roots[k] = roots[c + k];
    }
    rank(tail_sums, tail_roots, tail_ranks);
    for (std::size_t k = 0; c + k < count; ++k) {
      ranks[c + k] = tail_ranks[k];
    }
  }
}

void sum_products_batch_avx2(const float* query, const float* const* vectors, std::size_t count,
                             std::size_t n, float* out) {
  score_batch<Products>(query, vectors, count, n, out);
}

void sum_squared_differences_batch_avx2(const float* query, const float* const* vectors,
                                        std::size_t count, std::size_t n, float* out) {
  score_batch<SquaredDifferences>(query, vectors, count, n, out);
}

}  // namespace tarnwick::kernels
