#include "core/distance.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/bound.hpp"
#include "core/distance_kernels.hpp"

namespace tarnwick {

std::string_view failure_text(KernelFailure failure) {
  switch (failure) {
    case KernelFailure::DimensionMismatch:
      return "Dimension mismatch: Vector lengths must be structurally identical.";
    case KernelFailure::ZeroMagnitude:
      return "Vector magnitude mathematically cannot be zero during cosine normalization steps.";
    case KernelFailure::None:
      break;
  }
  return {};
}

// The reference sums. Each term is a separate float expression so that it is rounded before
// the add; the build forbids contraction into FMA.
float sum_products(const float* a, const float* b, std::size_t n) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float term = a[i] * b[i];
    sum += term;
  }
  return sum;
}

float sum_squares(const float* a, std::size_t n) { return sum_products(a, a, n); }

float sum_squared_differences(const float* a, const float* b, std::size_t n) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float difference = a[i] - b[i];
    const float term = difference * difference;
    sum += term;
  }
  return sum;
}

Score dot_product(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) {
    return {0.0f, KernelFailure::DimensionMismatch};
  }
  return {sum_products(a.data(), b.data(), a.size())};
}

Score cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) {
    return {0.0f, KernelFailure::DimensionMismatch};
  }
  if (a.empty()) {
    return {0.0f, KernelFailure::ZeroMagnitude};
  }
  const std::size_t n = a.size();
  return cosine_from_roots(sum_products(a.data(), b.data(), n), std::sqrt(sum_squares(a.data(), n)),
                           std::sqrt(sum_squares(b.data(), n)));
}

float cosine_distance(std::span<const float> a, std::span<const float> b) {
  const Score similarity = cosine_similarity(a, b);
  return similarity.ok() ? 1.0f - similarity.value : MAX_DISTANCE;
}

Score euclidean_distance(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) {
    return {0.0f, KernelFailure::DimensionMismatch};
  }
  // Empty vectors sum to -0.0, whose square root is -0.0.
  return {std::sqrt(sum_squared_differences(a.data(), b.data(), a.size()))};
}

namespace kernels {

void sum_products_batch_scalar(const float* query, const float* const* vectors,
                               std::size_t count, std::size_t n, float* out) {
  for (std::size_t j = 0; j < count; ++j) {
    out[j] = sum_products(query, vectors[j], n);
  }
}

void sum_squared_differences_batch_scalar(const float* query, const float* const* vectors,
                                          std::size_t count, std::size_t n, float* out) {
  for (std::size_t j = 0; j < count; ++j) {
    out[j] = sum_squared_differences(query, vectors[j], n);
  }
}

void sum_products_columns_scalar(const float* const* queries, std::size_t query_count,
                                 const float* columns, std::size_t stride, std::size_t first,
                                 std::size_t last, std::size_t n, float* out) {
  for (std::size_t q = 0; q < query_count; ++q) {
    for (std::size_t c = first; c < last; ++c) {
      float sum = -0.0f;
      for (std::size_t i = 0; i < n; ++i) {
        const float term = queries[q][i] * columns[i * stride + c];
        sum += term;
      }
      out[q * stride + c] = sum;
    }
  }
}

void lay_out_columns_scalar(const float* const* vectors, std::size_t count, std::size_t n,
                            float* columns, std::size_t stride) {
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < stride; ++c) {
      columns[i * stride + c] = vectors[c < count ? c : 0][i];
    }
  }
}

void cosine_ranks_from_roots_scalar(const float* sums, float root, const float* roots,
                                    std::size_t count, std::uint32_t* ranks) {
  for (std::size_t c = 0; c < count; ++c) {
    ranks[c] = distance_rank(cosine_distance_from_roots(sums[c], root, roots[c]));
  }
}

void sum_code_products_scalar(const std::int16_t* query, const std::int8_t* const* rows,
                              std::size_t count, std::size_t padded, std::int64_t* out) {
  for (std::size_t j = 0; j < count; ++j) {
    const std::int8_t* codes = rows[j] + CODE_HEADER;
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < padded; ++i) {
      sum += std::int32_t{query[i]} * codes[i];
    }
    out[j] = sum;
  }
}

bool cpu_has_avx2() {
  // Also false when the operating system does not save the wide registers.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool cpu_has_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni");
}

}  // namespace kernels

namespace {

struct KernelSet {
  std::string_view name;
  kernels::BatchKernel products;
  kernels::BatchKernel squared_differences;
  kernels::LayoutKernel lay_out;
  kernels::ColumnKernel columns;
  kernels::RankKernel cosine_ranks;
  kernels::CodeKernel code_products;
};

constexpr KernelSet SCALAR{"scalar", kernels::sum_products_batch_scalar,
                           kernels::sum_squared_differences_batch_scalar,
                           kernels::lay_out_columns_scalar, kernels::sum_products_columns_scalar,
                           kernels::cosine_ranks_from_roots_scalar,
                           kernels::sum_code_products_scalar};
constexpr KernelSet AVX2{"avx2", kernels::sum_products_batch_avx2,
                         kernels::sum_squared_differences_batch_avx2,
                         kernels::lay_out_columns_avx2, kernels::sum_products_columns_avx2,
                         kernels::cosine_ranks_from_roots_avx2,
                         kernels::sum_code_products_avx2};
// The AVX2 float kernels, whose lanes hold whole sums in order, and integer code sums with
// AVX-512 VNNI's fused int16 multiply-add: a third of the AVX2 kernel's instructions.
constexpr KernelSet AVX512{"avx512", kernels::sum_products_batch_avx2,
                           kernels::sum_squared_differences_batch_avx2,
                           kernels::lay_out_columns_avx2, kernels::sum_products_columns_avx2,
                           kernels::cosine_ranks_from_roots_avx2,
                           kernels::sum_code_products_avx512};

// Chosen once, on first use, for the life of the process (tests may select another).
KernelSet& kernel_set() {
  static KernelSet chosen = [] {
    const char* forced = std::getenv("TARNWICK_KERNEL");
    const bool force_scalar = forced != nullptr && std::strcmp(forced, "scalar") == 0;
    if (force_scalar) {
      return SCALAR;
    }
    return kernels::cpu_has_avx512() ? AVX512 : kernels::cpu_has_avx2() ? AVX2 : SCALAR;
  }();
  return chosen;
}

}  // namespace

void sum_products_batch(const float* query, const float* const* vectors, std::size_t count,
                        std::size_t n, float* out) {
  kernel_set().products(query, vectors, count, n, out);
}

void sum_squared_differences_batch(const float* query, const float* const* vectors,
                                   std::size_t count, std::size_t n, float* out) {
  kernel_set().squared_differences(query, vectors, count, n, out);
}

void sum_products_columns(const float* const* queries, std::size_t query_count,
                          const float* columns, std::size_t stride, std::size_t first,
                          std::size_t last, std::size_t n, float* out) {
  kernel_set().columns(queries, query_count, columns, stride, first, last, n, out);
}

void lay_out_columns(const float* const* vectors, std::size_t count, std::size_t n,
                     float* columns, std::size_t stride) {
  kernel_set().lay_out(vectors, count, n, columns, stride);
}

void cosine_ranks_from_roots(const float* sums, float root, const float* roots,
                             std::size_t count, std::uint32_t* ranks) {
  kernel_set().cosine_ranks(sums, root, roots, count, ranks);
}

void sum_code_products(const std::int16_t* query, const std::int8_t* const* rows,
                       std::size_t count, std::size_t padded, std::int64_t* out) {
  kernel_set().code_products(query, rows, count, padded, out);
}

std::string_view active_kernel() { return kernel_set().name; }

bool select_kernel(std::string_view name) {
  if (name == SCALAR.name) {
    kernel_set() = SCALAR;
    return true;
  }
  if (name == AVX2.name && kernels::cpu_has_avx2()) {
    kernel_set() = AVX2;
    return true;
  }
  if (name == AVX512.name && kernels::cpu_has_avx512()) {
    kernel_set() = AVX512;
    return true;
  }
  return false;
}

}  // namespace tarnwick
