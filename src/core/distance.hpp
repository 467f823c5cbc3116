// The three metrics and the graph's cosine distance, bit for bit reproducible.
//
// Every sum starts at -0.0f and adds single-precision terms one at a time in index order;
// each product is rounded before it is added (no FMA). Fast kernels get their speed by
// scoring several vectors at once, one accumulator per vector, never by splitting one sum.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

namespace tarnwick {

enum class Metric : std::uint8_t { DotProduct = 0, Cosine = 1, Euclidean = 2 };

// Higher scores are better under DotProduct and Cosine, lower under Euclidean.
constexpr bool higher_is_better(Metric metric) { return metric != Metric::Euclidean; }

// The distance that stands for "cannot be compared": the largest finite float.
inline constexpr float MAX_DISTANCE = std::numeric_limits<float>::max();

enum class KernelFailure : std::uint8_t { None, DimensionMismatch, ZeroMagnitude };

// The fixed text of a failure (empty for None).
std::string_view failure_text(KernelFailure failure);

// A score, or the reason it could not be computed.
struct Score {
  float value = 0.0f;
  KernelFailure failure = KernelFailure::None;
  bool ok() const { return failure == KernelFailure::None; }
};

// The sums of the summation rule: -0.0f plus each rounded term in index order.
float sum_products(const float* a, const float* b, std::size_t n);
float sum_squares(const float* a, std::size_t n);
float sum_squared_differences(const float* a, const float* b, std::size_t n);

Score dot_product(std::span<const float> a, std::span<const float> b);
Score cosine_similarity(std::span<const float> a, std::span<const float> b);
Score euclidean_distance(std::span<const float> a, std::span<const float> b);
// 1 - cosine_similarity, or MAX_DISTANCE when the similarity fails.
float cosine_distance(std::span<const float> a, std::span<const float> b);

// Cosine similarity from the dot product and the square roots of the two sums of squares
// (equal lengths already checked, length > 0): the same bits as cosine_similarity when the
// sums are the same. A root is zero exactly when its sum is, so the failures are the same.
// Inline: scans and graph walks finish every kernel result with it, and the point table
// keeps each stored vector's root so that none is taken per pair.
inline Score cosine_from_roots(float dot, float root_a, float root_b) {
  // Compares equal for both zeros; a NaN root is let through and makes the score NaN.
  if (root_a == 0.0f || root_b == 0.0f) {
    return {0.0f, KernelFailure::ZeroMagnitude};
  }
  return {dot / (root_a * root_b)};
}
// 1 - cosine_from_roots, or MAX_DISTANCE on failure.
inline float cosine_distance_from_roots(float dot, float root_a, float root_b) {
  const Score similarity = cosine_from_roots(dot, root_a, root_b);
  return similarity.ok() ? 1.0f - similarity.value : MAX_DISTANCE;
}

// Distances ranked by one unsigned integer: numbers in their usual order with -0 equal to
// +0, and NaN after every number. Sorts and heaps then compare plain integers.
inline std::uint32_t distance_rank(float distance) {
  if (std::isnan(distance)) {
    return UINT32_MAX;
  }
  const auto bits = std::bit_cast<std::uint32_t>(distance == 0.0f ? 0.0f : distance);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

// Batched sums against one query: out[j] = sum_products(query, vectors[j], n) for j < count
// (likewise for squared differences), bit-identical to the single-vector sums.
void sum_products_batch(const float* query, const float* const* vectors, std::size_t count,
                        std::size_t n, float* out);
void sum_squared_differences_batch(const float* query, const float* const* vectors,
                                   std::size_t count, std::size_t n, float* out);

// Vectors laid out as columns: element i of the vector in lane c is columns[i * stride + c],
// with `stride` a multiple of COLUMN_GROUP. Scoring such a block needs no transposes, which
// pays when a small set of vectors is scored many times over (neighbour selection).
inline constexpr std::size_t COLUMN_GROUP = 8;
inline constexpr std::size_t MAX_COLUMN_QUERIES = 4;

// Lays out `count` (at least one) vectors of n floats as columns of `stride` lanes (stride >=
// count, a multiple of COLUMN_GROUP); the lanes from count on repeat the first vector.
void lay_out_columns(const float* const* vectors, std::size_t count, std::size_t n,
                     float* columns, std::size_t stride);

// For each query q < query_count (1 to MAX_COLUMN_QUERIES) and each lane c in [first, last):
// out[q * stride + c] = sum_products(queries[q], the vector in lane c, n), bit for bit. The
// other lanes of out in the same groups of COLUMN_GROUP may be written as well.
void sum_products_columns(const float* const* queries, std::size_t query_count,
                          const float* columns, std::size_t stride, std::size_t first,
                          std::size_t last, std::size_t n, float* out);

// ranks[c] = distance_rank(cosine_distance_from_roots(sums[c], root, roots[c])) for c < count.
void cosine_ranks_from_roots(const float* sums, float root, const float* roots,
                             std::size_t count, std::uint32_t* ranks);

// Integer sums of code rows (see bound.hpp): out[j] = sum of query[i] * c_i over the
// `padded` elements of the row rows[j], whose elements start CODE_HEADER bytes in. Exact, so
// every kernel returns the same values.
void sum_code_products(const std::int16_t* query, const std::int8_t* const* rows,
                       std::size_t count, std::size_t padded, std::int64_t* out);

// The name of the batched kernels in use: "scalar", "avx2" or "avx512". Setting the environment
// variable TARNWICK_KERNEL=scalar before the first use forces the scalar kernel.
std::string_view active_kernel();
// Makes `name` ("scalar", "avx2" or "avx512") the batched kernels, for tests that hold every
// kernel to the same results; false, and no change, when this CPU cannot run it. Not to be
// called while other threads score.
bool select_kernel(std::string_view name);

}  // namespace tarnwick
