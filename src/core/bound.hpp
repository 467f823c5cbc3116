// Codes that bound a score without computing it.
//
// Every stored vector that can take one keeps a short code of its direction: int8 elements
// c with a scale s, so that s * c is within `error` of the unit vector x / ||x||. A query
// quantised the same way (to int16) gives, through one exact integer sum, an interval that
// certainly holds the exact float score the kernels in distance.hpp return. A walk or a scan
// that only needs to know whether a score can beat a threshold decides from the interval and
// computes the exact score only when the interval straddles the threshold, so it reads d
// bytes instead of 4 * d for most points it turns away. Every score that is kept, returned
// or compared without a settled interval is still the exact one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/distance.hpp"

namespace tarnwick {

// Longest vector that takes a code: the int32 lanes of the integer sums cannot overflow up to
// it (see code_dots_avx2).
inline constexpr std::size_t MAX_CODE_DIMENSION = 4096;
// Codes are padded with zeros to a multiple of this many elements, so kernels need no tails.
inline constexpr std::size_t CODE_GROUP = 16;
// A code row: float scale, float error, then the padded int8 elements.
inline constexpr std::size_t CODE_HEADER = 8;

// Bytes of a code row for vectors of n floats.
inline std::size_t code_row_bytes(std::size_t n) {
  return CODE_HEADER + (n + CODE_GROUP - 1) / CODE_GROUP * CODE_GROUP;
}

// Whether a vector may take a code, from its float32 sum of squares as the kernels compute it
// (sum_squares): length 1 to MAX_CODE_DIMENSION, every element finite, and the sum within
// [2^-60, 2^100]. The range keeps underflow of the products and overflow of the partial sums
// out of the error analysis in bound.cpp.
bool codable(std::span<const float> vector, float squares);

// Writes the code row of `vector` (code_row_bytes(n) bytes at `row`). A vector that is not
// codable gets an infinite error, so that every interval from its row is unbounded and no
// decision is ever settled by it.
void encode_row(std::span<const float> vector, float squares, std::int8_t* row);
// Writes a row for vectors of n floats that holds no code.
void clear_row(std::size_t n, std::int8_t* row);

// An interval [low, high] that holds an exact float score.
struct Bounds {
  double low;
  double high;
};

// A query quantised for the bounds: v = q / ||q|| in double, q16 = round(v / t) with
// t = max|v_i| / 32767, and `error` an upper bound of ||v - t * q16||. The error terms that
// depend only on the query's length are worked out once here (see bound.cpp).
struct QueryCode {
  bool usable = false;      // false: the query is not codable and nothing may be pruned
  std::size_t length = 0;   // floats in the query
  double scale = 0.0;       // t
  double error = 0.0;       // upper bound of ||v - t * q16||
  double root_low = 0.0;    // ||q|| lies in [root_low, root_high]
  double root_high = 0.0;
  double distance_slack = 0.0;    // float error of cosine_distance, and the double roundings
  double similarity_slack = 0.0;  // of cosine_similarity
  double product_slack = 0.0;     // of sum_products, relative to ||q|| ||x||
  double squares_slack = 0.0;     // of sum_squared_differences, relative
  double root_slack = 0.0;        // of a stored float root, relative
  double underflow = 0.0;         // what underflowed terms can lose in one sum
  std::vector<std::int16_t> elements;  // q16, padded with zeros to the code rows' length
  std::vector<double> unit;            // working memory: v
};
// Fills `code` for `query`, whose float sum of squares as the kernels compute it
// (sum_squares) is `squares`, reusing the code's memory.
void encode_query(std::span<const float> query, float squares, QueryCode& code);

// out[j] = sum over i of q16_i * c_i for the code row rows[j], an exact integer sum.
void code_dots(const QueryCode& query, const std::int8_t* const* rows, std::size_t count,
               std::int64_t* out);

// The scale and error of a code row.
struct CodeHeader {
  float scale;
  float error;  // infinite when the vector has no code
};
inline CodeHeader code_header(const std::int8_t* row) {
  CodeHeader header;
  __builtin_memcpy(&header, row, sizeof header);
  return header;
}
// Whether the row holds a code (false for a vector that is not codable).
inline bool has_code(const std::int8_t* row) { return code_header(row).error <= MAX_DISTANCE; }

// The interval of the real cosine <v, x / ||x||> from a code dot: whole when the row holds
// no code. 2^-30 covers the double roundings of the centre (see bound.cpp).
inline Bounds similarity_bounds(const QueryCode& query, const std::int8_t* row, std::int64_t dot) {
  const CodeHeader header = code_header(row);
  const double r = header.error;
  if (!(r <= MAX_DISTANCE)) {
    return {-__builtin_inf(), __builtin_inf()};
  }
  const double centre = query.scale * header.scale * static_cast<double>(dot);
  const double slack = r + query.error * (1.0 + r) + 0x1p-30;
  return {centre - slack, centre + slack};
}

// Intervals for the scores the kernels return, for vectors of the query's length whose row is
// `row` and whose float root is `root`: cosine_distance(q, x), cosine_similarity(q, x),
// sum_products(q, x), and sqrt(sum_squared_differences(q, x)). Each is whole, from -inf to
// inf, when the row holds no code.
inline Bounds cosine_distance_bounds(const QueryCode& query, const std::int8_t* row, std::int64_t dot) {
  const Bounds cosine = similarity_bounds(query, row, dot);
  return {1.0 - cosine.high - query.distance_slack, 1.0 - cosine.low + query.distance_slack};
}
inline Bounds cosine_similarity_bounds(const QueryCode& query, const std::int8_t* row, std::int64_t dot) {
  const Bounds cosine = similarity_bounds(query, row, dot);
  return {cosine.low - query.similarity_slack, cosine.high + query.similarity_slack};
}
Bounds dot_product_bounds(const QueryCode& query, const std::int8_t* row, std::int64_t dot,
                          float root);
Bounds euclidean_bounds(const QueryCode& query, const std::int8_t* row, std::int64_t dot,
                        float root);

// Whether decisions may be settled by bounds. TARNWICK_PRUNE=0 in the environment (read at
// first use) turns pruning off; tests switch it with select_pruning. Not to be called while
// other threads search.
bool pruning_enabled();
void select_pruning(bool enabled);

// Builds with TARNWICK_CHECK_BOUNDS verify every interval that settles a decision against the
// exact score, and abort when it does not hold it.
#ifdef TARNWICK_CHECK_BOUNDS
inline constexpr bool CHECK_BOUNDS = true;
#else
inline constexpr bool CHECK_BOUNDS = false;
#endif
void verify_bounds(Bounds bounds, float exact);

}  // namespace tarnwick
