// AVX-512 integer sums of code rows, with VNNI's fused multiply-add of int16 pairs. The sums
// are exact, so they equal the scalar ones whatever the order of the adds. Only functions with
// internal linkage are defined here, apart from the kernel itself (see distance_kernels.hpp).
//
// No int32 lane can overflow: a row has at most 4096 padded elements, and each of the 16 lanes
// receives 2 of every 32 products, so at most 256 products of magnitude at most
// 32767 * 127 = 4,161,409: 1,065,320,704 < 2^31. The lanes are added up in int64, except for
// rows of at most 512 padded elements: no sum of their products can pass
// 512 * 4,161,409 = 2,130,641,408 < 2^31, so four rows' lanes are added up together in int32.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/distance_kernels.hpp"

namespace tarnwick::kernels {
namespace {

// Must match CODE_HEADER in bound.hpp, which this file may not include.
constexpr std::size_t HEADER = 8;
constexpr std::size_t ROWS = 4;  // rows per pass, one named accumulator each: they share the query loads

// sums + the products of 32 codes with the query's int16 elements, in pairs per lane.
inline __m512i add_products(__m512i sums, const std::int8_t* codes, __m512i query) {
  const __m512i wide = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes)));
  return _mm512_dpwssd_epi32(sums, wide, query);
}

// The same for the last 16 codes of a row whose padded length is an odd multiple of 16: the
// upper lanes of both operands are zero.
inline __m512i add_last_products(__m512i sums, const std::int8_t* codes, __m512i query) {
  const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
  const __m512i wide = _mm512_cvtepi8_epi16(_mm256_zextsi128_si256(last));
  return _mm512_dpwssd_epi32(sums, wide, query);
}

inline __m512i query_at(const std::int16_t* query) {
  return _mm512_loadu_si512(query);
}

inline __m512i last_query_at(const std::int16_t* query) {
  return _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query)));
}

// Rows padded to at most this many elements have totals that cannot pass the int32 range.
constexpr std::size_t INT32_TOTAL_PADDED = 512;

// The four rows' totals, each the sum of its accumulator's 16 lanes, added up together: the
// lanes of a and b, then of c and d, interleave and add, then the pairs, then the blocks.
inline void store_totals(__m512i a, __m512i b, __m512i c, __m512i d, std::int64_t* out) {
  const __m512i ab = _mm512_add_epi32(_mm512_unpacklo_epi32(a, b), _mm512_unpackhi_epi32(a, b));
  const __m512i cd = _mm512_add_epi32(_mm512_unpacklo_epi32(c, d), _mm512_unpackhi_epi32(c, d));
  // Each 128-bit block now holds a, b, c and d summed over that block's lanes.
  const __m512i blocks = _mm512_add_epi32(_mm512_unpacklo_epi64(ab, cd), _mm512_unpackhi_epi64(ab, cd));
  const __m256i halves = _mm256_add_epi32(_mm512_castsi512_si256(blocks), _mm512_extracti64x4_epi64(blocks, 1));
  const __m128i totals = _mm_add_epi32(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepi32_epi64(totals));
}

inline std::int64_t lane_total(__m512i sums) {
  const __m512i low = _mm512_cvtepi32_epi64(_mm512_castsi512_si256(sums));
  const __m512i high = _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(sums, 1));
  return _mm512_reduce_add_epi64(_mm512_add_epi64(low, high));
}

// Sums the rows in fours, one named accumulator each, and returns how many it summed. One
// copy per way of adding up the lanes, each out of line: kept in an array, or with both ways
// in one function, the accumulators were copied between registers at every step.
template <bool INT32_TOTALS>
[[gnu::noinline]] std::size_t sum_in_fours(const std::int16_t* query, const std::int8_t* const* rows,
                                           std::size_t count, std::size_t padded, std::int64_t* out) {
  const std::size_t whole = padded / 32 * 32;
  std::size_t j = 0;
  for (; j + ROWS <= count; j += ROWS) {
    const std::int8_t* const a = rows[j] + HEADER;
    const std::int8_t* const b = rows[j + 1] + HEADER;
    const std::int8_t* const c = rows[j + 2] + HEADER;
    const std::int8_t* const d = rows[j + 3] + HEADER;
    __m512i sum_a = _mm512_setzero_si512();
    __m512i sum_b = _mm512_setzero_si512();
    __m512i sum_c = _mm512_setzero_si512();
    __m512i sum_d = _mm512_setzero_si512();
    for (std::size_t i = 0; i < whole; i += 32) {
      const __m512i q = query_at(query + i);
      sum_a = add_products(sum_a, a + i, q);
      sum_b = add_products(sum_b, b + i, q);
      sum_c = add_products(sum_c, c + i, q);
      sum_d = add_products(sum_d, d + i, q);
    }
    if (whole < padded) {
      const __m512i q = last_query_at(query + whole);
      sum_a = add_last_products(sum_a, a + whole, q);
      sum_b = add_last_products(sum_b, b + whole, q);
      sum_c = add_last_products(sum_c, c + whole, q);
      sum_d = add_last_products(sum_d, d + whole, q);
    }
    if constexpr (INT32_TOTALS) {
      // Ends the accumulators' live ranges in registers; without it GCC copies each of them at
      // every step of the loop above.
      asm("" : "+v"(sum_a), "+v"(sum_b), "+v"(sum_c), "+v"(sum_d));
      store_totals(sum_a, sum_b, sum_c, sum_d, out + j);
    } else {
      out[j] = lane_total(sum_a);
      out[j + 1] = lane_total(sum_b);
      out[j + 2] = lane_total(sum_c);
      out[j + 3] = lane_total(sum_d);
    }
  }
  return j;
}

}  // namespace

void sum_code_products_avx512(const std::int16_t* query, const std::int8_t* const* rows,
                              std::size_t count, std::size_t padded, std::int64_t* out) {
  const std::size_t whole = padded / 32 * 32;
  std::size_t j = padded <= INT32_TOTAL_PADDED ? sum_in_fours<true>(query, rows, count, padded, out)
                                               : sum_in_fours<false>(query, rows, count, padded, out);
  for (; j < count; ++j) {
    const std::int8_t* const row = rows[j] + HEADER;
    __m512i sums = _mm512_setzero_si512();
    for (std::size_t i = 0; i < whole; i += 32) {
      sums = add_products(sums, row + i, query_at(query + i));
    }
    if (whole < padded) {
      sums = add_last_products(sums, row + whole, last_query_at(query + whole));
    }
    out[j] = lane_total(sums);
  }
}

}  // namespace tarnwick::kernels
