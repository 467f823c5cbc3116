// AVX2 integer sums of code rows. The sums are exact, so they equal the scalar ones whatever
// the order of the adds. Only functions with internal linkage are defined here, apart from
// the kernel itself (see distance_kernels.hpp).
//
// No int32 lane can overflow: a row has at most 4096 padded elements, each 32-bit lane of
// _mm256_madd_epi16 receives 2 of every 16 products, so at most 512 products of magnitude at
// most 32767 * 127 = 4,161,409: 2,130,641,408 < 2^31. The lanes are added up in int64, except
// for rows of at most 512 padded elements: no sum of their products can pass that same
// 2,130,641,408, so four rows' lanes are added up together in int32.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/distance_kernels.hpp"

namespace tarnwick::kernels {
namespace {

// Must match CODE_HEADER in bound.hpp, which this file may not include.
constexpr std::size_t HEADER = 8;
constexpr std::size_t ROWS = 4;  // rows per pass, one named accumulator each: they share the query loads

inline __m256i products(const std::int8_t* codes, __m256i query) {
  const __m256i wide = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes)));
  return _mm256_madd_epi16(wide, query);
}

// Rows padded to at most this many elements have totals that cannot pass the int32 range.
constexpr std::size_t INT32_TOTAL_PADDED = 512;

// The four rows' totals, each the sum of its accumulator's 8 lanes, added up together.
inline void store_totals(__m256i a, __m256i b, __m256i c, __m256i d, std::int64_t* out) {
  // Each 128-bit half holds a, b, c and d summed over that half's lanes.
  const __m256i halves = _mm256_hadd_epi32(_mm256_hadd_epi32(a, b), _mm256_hadd_epi32(c, d));
  const __m128i totals = _mm_add_epi32(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepi32_epi64(totals));
}

inline std::int64_t lane_total(__m256i sums) {
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
  std::int64_t total = 0;
  for (std::int32_t lane : lanes) {
    total += lane;
  }
  return total;
}

// Sums the rows in fours, one named accumulator each, and returns how many it summed. One
// copy per way of adding up the lanes, each out of line: kept in an array, or with both ways
// in one function, the accumulators were copied between registers at every step.
template <bool INT32_TOTALS>
[[gnu::noinline]] std::size_t sum_in_fours(const std::int16_t* query, const std::int8_t* const* rows,
                                           std::size_t count, std::size_t padded, std::int64_t* out) {
  std::size_t j = 0;
  for (; j + ROWS <= count; j += ROWS) {
    const std::int8_t* const a = rows[j] + HEADER;
    const std::int8_t* const b = rows[j + 1] + HEADER;
    const std::int8_t* const c = rows[j + 2] + HEADER;
    const std::int8_t* const d = rows[j + 3] + HEADER;
    __m256i sum_a = _mm256_setzero_si256();
    __m256i sum_b = _mm256_setzero_si256();
    __m256i sum_c = _mm256_setzero_si256();
    __m256i sum_d = _mm256_setzero_si256();
    for (std::size_t i = 0; i < padded; i += 16) {
      const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i));
      sum_a = _mm256_add_epi32(sum_a, products(a + i, q));
      sum_b = _mm256_add_epi32(sum_b, products(b + i, q));
      sum_c = _mm256_add_epi32(sum_c, products(c + i, q));
      sum_d = _mm256_add_epi32(sum_d, products(d + i, q));
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

void sum_code_products_avx2(const std::int16_t* query, const std::int8_t* const* rows,
                            std::size_t count, std::size_t padded, std::int64_t* out) {
  std::size_t j = padded <= INT32_TOTAL_PADDED ? sum_in_fours<true>(query, rows, count, padded, out)
                                               : sum_in_fours<false>(query, rows, count, padded, out);
  for (; j < count; ++j) {
    __m256i sums = _mm256_setzero_si256();
    for (std::size_t i = 0; i < padded; i += 16) {
      const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i));
      sums = _mm256_add_epi32(sums, products(rows[j] + HEADER + i, q));
    }
    out[j] = lane_total(sums);
  }
}

}  // namespace tarnwick::kernels
