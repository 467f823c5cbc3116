// The batched kernels behind sum_products_batch and sum_squared_differences_batch, each
// callable directly so that tests can hold every variant to the scalar sums.
//
// This header is included by the files compiled for AVX2 and AVX-512: it must declare functions
// only. An inline function defined here could be emitted with their instructions and then
// picked by the linker for code that runs on a CPU without them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::kernels {

using BatchKernel = void (*)(const float* query, const float* const* vectors, std::size_t count,
                             std::size_t n, float* out);
using ColumnKernel = void (*)(const float* const* queries, std::size_t query_count,
                              const float* columns, std::size_t stride, std::size_t first,
                              std::size_t last, std::size_t n, float* out);
using LayoutKernel = void (*)(const float* const* vectors, std::size_t count, std::size_t n,
                              float* columns, std::size_t stride);
using CodeKernel = void (*)(const std::int16_t* query, const std::int8_t* const* rows,
                            std::size_t count, std::size_t padded, std::int64_t* out);
using RankKernel = void (*)(const float* sums, float root, const float* roots,
                            std::size_t count, std::uint32_t* ranks);

void sum_products_batch_scalar(const float* query, const float* const* vectors,
                               std::size_t count, std::size_t n, float* out);
void sum_squared_differences_batch_scalar(const float* query, const float* const* vectors,
                                          std::size_t count, std::size_t n, float* out);
void sum_products_columns_scalar(const float* const* queries, std::size_t query_count,
                                 const float* columns, std::size_t stride, std::size_t first,
                                 std::size_t last, std::size_t n, float* out);
void lay_out_columns_scalar(const float* const* vectors, std::size_t count, std::size_t n,
                            float* columns, std::size_t stride);
void cosine_ranks_from_roots_scalar(const float* sums, float root, const float* roots,
                                    std::size_t count, std::uint32_t* ranks);

void sum_code_products_scalar(const std::int16_t* query, const std::int8_t* const* rows,
                              std::size_t count, std::size_t padded, std::int64_t* out);

// Whether this CPU (and its operating system) can run the AVX2 kernels.
bool cpu_has_avx2();

// Call only when cpu_has_avx2().
void sum_products_batch_avx2(const float* query, const float* const* vectors, std::size_t count,
                             std::size_t n, float* out);
void sum_squared_differences_batch_avx2(const float* query, const float* const* vectors,
                                        std::size_t count, std::size_t n, float* out);
void sum_products_columns_avx2(const float* const* queries, std::size_t query_count,
                               const float* columns, std::size_t stride, std::size_t first,
                               std::size_t last, std::size_t n, float* out);
void lay_out_columns_avx2(const float* const* vectors, std::size_t count, std::size_t n,
                          float* columns, std::size_t stride);
void cosine_ranks_from_roots_avx2(const float* sums, float root, const float* roots,
                                  std::size_t count, std::uint32_t* ranks);

// In bound_avx2.cpp.
void sum_code_products_avx2(const std::int16_t* query, const std::int8_t* const* rows,
                            std::size_t count, std::size_t padded, std::int64_t* out);

// Whether this CPU (and its operating system) can run the AVX-512 kernel: AVX-512 F and BW
// with VNNI, besides AVX2.
bool cpu_has_avx512();

// In bound_avx512.cpp; call only when cpu_has_avx512().
void sum_code_products_avx512(const std::int16_t* query, const std::int8_t* const* rows,
                              std::size_t count, std::size_t padded, std::int64_t* out);

}  // namespace tarnwick::kernels
