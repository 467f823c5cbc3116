// The three metrics and the graph's cosine distance, bit for bit reproducible.
//
// Every sum starts at -0.0f and adds single-precision terms one at a time in index order;
// each product is rounded before it is added (no FMA). Fast kernels get their speed by
// scoring several vectors at once, one accumulator per vector, never by splitting one sum.
#pragma once

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

// Cosine similarity from its three sums (equal lengths already checked, length > 0):
// the same bits as cosine_similarity when the sums are the same. Inline: scans and graph
// walks finish every kernel result with it.
inline Score cosine_from_sums(float dot, float norm_a, float norm_b) {
  // Compares equal for both zeros; a NaN norm is let through and makes the score NaN.
  if (norm_a == 0.0f || norm_b == 0.0f) {
    return {0.0f, KernelFailure::ZeroMagnitude};
  }
  const float magnitude = std::sqrt(norm_a) * std::sqrt(norm_b);
  return {dot / magnitude};
}
// 1 - cosine_from_sums, or MAX_DISTANCE on failure.
inline float cosine_distance_from_sums(float dot, float norm_a, float norm_b) {
  const Score similarity = cosine_from_sums(dot, norm_a, norm_b);
  return similarity.ok() ? 1.0f - similarity.value : MAX_DISTANCE;
}

// Batched sums against one query: out[j] = sum_products(query, vectors[j], n) for j < count
// (likewise for squared differences), bit-identical to the single-vector sums.
void sum_products_batch(const float* query, const float* const* vectors, std::size_t count,
                        std::size_t n, float* out);
void sum_squared_differences_batch(const float* query, const float* const* vectors,
                                   std::size_t count, std::size_t n, float* out);

// The name of the batched kernel in use: "scalar" or "avx2". Setting the environment
// variable TARNWICK_KERNEL=scalar before the first use forces the scalar kernel.
std::string_view active_kernel();
// Makes `name` ("scalar" or "avx2") the batched kernel, for tests that hold every kernel to
// the same results; false, and no change, when this CPU cannot run it. Not to be called while
// other threads score.
bool select_kernel(std::string_view name);

}  // namespace tarnwick
