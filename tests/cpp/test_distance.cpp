#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/distance.hpp"
#include "core/distance_kernels.hpp"

namespace tarnwick {
namespace {

using Vec = std::vector<float>;
using Op = Score (*)(std::span<const float>, std::span<const float>);

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr auto DIMENSION = KernelFailure::DimensionMismatch;
constexpr auto ZERO = KernelFailure::ZeroMagnitude;

// The cosine distance as written from its three sums: 1 - dot / (sqrt(a) * sqrt(b)), or
// MAX_DISTANCE when either sum of squares is zero.
float distance_from_sums(float dot, float norm_a, float norm_b) {
  if (norm_a == 0.0f || norm_b == 0.0f) {
    return MAX_DISTANCE;
  }
  return 1.0f - dot / (std::sqrt(norm_a) * std::sqrt(norm_b));
}

// Equal bit patterns, or both NaN: a NaN's payload is not part of the contract.
testing::AssertionResult same_bits(float expected, float actual) {
  if (std::bit_cast<std::uint32_t>(expected) == std::bit_cast<std::uint32_t>(actual) ||
      (std::isnan(expected) && std::isnan(actual))) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "expected bits 0x" << std::hex
                                     << std::bit_cast<std::uint32_t>(expected) << " ("
                                     << expected << "), got 0x"
                                     << std::bit_cast<std::uint32_t>(actual) << " (" << actual
                                     << ")";
}

struct ScoreCase {
  const char* name;
  Op op;
  Vec a, b;
  float value;  // when the failure is None
  KernelFailure failure = KernelFailure::None;
};

TEST(Distance, ScoresAndFailures) {
  const Vec tiny(3, 1e-30f);  // its squares underflow to zero
  const ScoreCase cases[] = {
      {"orthogonal", cosine_similarity, {1, 0}, {0, 1}, 0.0f},
      {"3-4 with itself", cosine_similarity, {3, 4}, {3, 4}, 1.0f},
      {"unclamped above one", cosine_similarity, {1, 1}, {1, 1}, 1.0000001f},
      {"parallel", cosine_similarity, {1, 2, 3}, {2, 4, 6}, 0.99999994f},
      {"diagonal", cosine_similarity, {1, 0}, {1, 1}, 0.70710677f},
      {"finite over infinite norm", cosine_similarity, {1e30f, 1}, {1, 1}, 0.0f},
      {"cosine NaN", cosine_similarity, {NaN, 1}, {1, 1}, NaN},
      {"cosine length first", cosine_similarity, {}, {1}, 0, DIMENSION},
      {"cosine empty", cosine_similarity, {}, {}, 0, ZERO},
      {"cosine zero b", cosine_similarity, {1, 1}, {0, 0}, 0, ZERO},
      {"cosine zero a", cosine_similarity, {0, 0}, {1, 1}, 0, ZERO},
      {"cosine negative zeros", cosine_similarity, {-0.0f, -0.0f}, {1, 1}, 0, ZERO},
      {"cosine underflow", cosine_similarity, tiny, {1, 1, 1}, 0, ZERO},
      {"cosine NaN beside zero", cosine_similarity, {NaN, 1}, {0, 0}, 0, ZERO},
      {"dot signed zero", dot_product, {0.0f}, {-1.0f}, -0.0f},
      {"dot empty", dot_product, {}, {}, -0.0f},
      {"dot in order", dot_product, {1e8f, 1, -1e8f, 1}, {1, 1, 1, 1}, 1.0f},
      {"dot inf minus inf", dot_product, {INF, -INF}, {1, 1}, NaN},
      {"dot overflow", dot_product, {3e38f, 3e38f}, {2, 2}, INF},
      {"dot NaN", dot_product, {1, NaN}, {1, 1}, NaN},
      {"dot lengths", dot_product, {1, 2}, {1, 2, 3}, 0, DIMENSION},
      {"euclidean 3-4-5", euclidean_distance, {0, 0}, {3, 4}, 5.0f},
      {"euclidean empty", euclidean_distance, {}, {}, -0.0f},
      {"euclidean NaN", euclidean_distance, {NaN}, {NaN}, NaN},
      {"euclidean lengths", euclidean_distance, {1, 2}, {1, 2, 3}, 0, DIMENSION},
  };
  for (const ScoreCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Score score = c.op(c.a, c.b);
    EXPECT_EQ(score.failure, c.failure);
    if (c.failure == KernelFailure::None) {
      EXPECT_TRUE(same_bits(c.value, score.value));
    }
  }
}

TEST(Distance, CosineDistance) {
  EXPECT_TRUE(same_bits(-1.1920929e-07f, cosine_distance(Vec{1, 1}, Vec{1, 1})));
  EXPECT_TRUE(same_bits(5.9604645e-08f, cosine_distance(Vec{1, 2, 3}, Vec{2, 4, 6})));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(MAX_DISTANCE), 0x7F7FFFFFu);
  for (const auto& [a, b] : {std::pair<Vec, Vec>{{1, 1}, {0, 0}}, {{}, {}}, {{1}, {1, 2}}}) {
    EXPECT_TRUE(same_bits(MAX_DISTANCE, cosine_distance(a, b)));
  }
  EXPECT_TRUE(same_bits(MAX_DISTANCE, cosine_distance_from_roots(1, 1, -0.0f)));
  EXPECT_TRUE(same_bits(NaN, cosine_distance_from_roots(1, NaN, 1)));
}

TEST(Distance, FailureTexts) {
  EXPECT_EQ(failure_text(DIMENSION),
            "Dimension mismatch: Vector lengths must be structurally identical.");
  EXPECT_EQ(failure_text(ZERO),
            "Vector magnitude mathematically cannot be zero during cosine normalization steps.");
  EXPECT_TRUE(failure_text(KernelFailure::None).empty());
}

TEST(Distance, CosineFromRootsMatchesTheSumsFormula) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  for (std::size_t n = 1; n < 50; ++n) {
    Vec a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = normal(rng);
      b[i] = normal(rng);
    }
    const float sums[3] = {sum_products(a.data(), b.data(), n), sum_squares(a.data(), n),
                           sum_squares(b.data(), n)};
    const float roots[2] = {std::sqrt(sums[1]), std::sqrt(sums[2])};
    EXPECT_TRUE(same_bits(cosine_similarity(a, b).value,
                          cosine_from_roots(sums[0], roots[0], roots[1]).value));
    EXPECT_TRUE(same_bits(cosine_distance(a, b), distance_from_sums(sums[0], sums[1], sums[2])));
    EXPECT_TRUE(same_bits(cosine_distance(a, b),
                          cosine_distance_from_roots(sums[0], roots[0], roots[1])));
  }
}

TEST(Distance, ScalarKernelForcedByEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: the choice is made once
  EXPECT_EXIT(
      {
        setenv("TARNWICK_KERNEL", "scalar", 1);
        std::exit(active_kernel() == "scalar" ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  const char* forced = std::getenv("TARNWICK_KERNEL");
  if (forced == nullptr || std::string(forced) != "scalar") {
    EXPECT_EQ(active_kernel(), kernels::cpu_has_avx512() ? "avx512" : kernels::cpu_has_avx2() ? "avx2" : "scalar");
  }
}

// Batched kernels against the reference sums, bit for bit.

struct KernelVariant {
  const char* name;
  kernels::BatchKernel products;
  kernels::BatchKernel squared_differences;
  bool needs_avx2;
};

void PrintTo(const KernelVariant& variant, std::ostream* out) { *out << variant.name; }

class BatchKernel : public testing::TestWithParam<KernelVariant> {
 protected:
  void SetUp() override {
    if (GetParam().needs_avx2 && !kernels::cpu_has_avx2()) {
      GTEST_SKIP() << "this CPU has no AVX2";
    }
  }

  // Draws a query and `count` separately allocated vectors (so that a sanitizer sees any read
  // past an end), scores them with both kernels and compares with the reference sums.
  template <class Draw>
  void check(std::size_t n, std::size_t count, Draw draw) {
    Vec query(n);
    std::vector<Vec> stored(count, Vec(n));
    for (float& x : query) x = draw();
    std::vector<const float*> pointers;
    for (Vec& v : stored) {
      for (float& x : v) x = draw();
      pointers.push_back(v.data());
    }
    if (count > 2) {
      pointers[count / 2] = query.data();  // a vector may be the query itself
    }
    const float sentinel = 12345.0f;
    Vec products(count + 1, sentinel), differences(count + 1, sentinel);
    GetParam().products(query.data(), pointers.data(), count, n, products.data());
    GetParam().squared_differences(query.data(), pointers.data(), count, n, differences.data());
    for (std::size_t j = 0; j < count; ++j) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " count=" << count << " j=" << j);
      ASSERT_TRUE(same_bits(sum_products(query.data(), pointers[j], n), products[j]));
      ASSERT_TRUE(same_bits(sum_squared_differences(query.data(), pointers[j], n), differences[j]));
    }
    ASSERT_EQ(products[count], sentinel);
    ASSERT_EQ(differences[count], sentinel);
  }

  std::mt19937 rng{12345};
};

TEST_P(BatchKernel, RandomData) {
  std::normal_distribution<float> normal;
  auto draw = [&] { return normal(rng); };
  for (std::size_t n = 0; n <= 20; ++n) {
    for (std::size_t count = 0; count <= 40; ++count) {
      check(n, count, draw);
    }
  }
  for (std::size_t n : {31, 64, 100, 127, 128, 129, 333, 768, 1000}) {
    for (std::size_t count : {1, 7, 8, 9, 15, 16, 17, 32, 33, 40}) {
      check(n, count, draw);
    }
  }
}

// Special values, subnormals, overflow, and magnitudes so far apart that any other order of
// addition would round differently; each round mixes them in its own proportions.
TEST_P(BatchKernel, AdversarialData) {
  const float specials[] = {NaN, INF, -INF, 0.0f, -0.0f, 1e-45f, -1e-45f, 1e-39f, -3e-39f,
                            1e-30f, 3e38f, -3e38f, std::numeric_limits<float>::max(), 1.0f};
  const std::pair<int, int> exponent_ranges[] = {{-20, 20}, {-149, -60}, {-149, 127}};
  const double special_shares[] = {0.0, 0.005, 0.3};
  std::uniform_int_distribution<std::size_t> length(0, 1000), count(0, 40), which(0, 2);
  std::uniform_int_distribution<std::size_t> special(0, std::size(specials) - 1);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  for (int round = 0; round < 90; ++round) {
    const auto [low, high] = exponent_ranges[which(rng)];
    std::uniform_int_distribution<int> exponent(low, high);
    std::bernoulli_distribution is_special(special_shares[which(rng)]);
    auto draw = [&] {
      return is_special(rng) ? specials[special(rng)] : std::ldexp(mantissa(rng), exponent(rng));
    };
    check(round < 18 ? round : length(rng), round < 18 ? 19 : count(rng), draw);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, BatchKernel,
    testing::Values(KernelVariant{"scalar", kernels::sum_products_batch_scalar,
                                  kernels::sum_squared_differences_batch_scalar, false},
                    KernelVariant{"avx2", kernels::sum_products_batch_avx2,
                                  kernels::sum_squared_differences_batch_avx2, true},
                    KernelVariant{"dispatched", sum_products_batch,
                                  sum_squared_differences_batch, false}),
    [](const testing::TestParamInfo<KernelVariant>& info) { return info.param.name; });

// Column kernels: laying out, scoring several queries and finishing cosine distances, each
// variant against the reference sums bit for bit.

struct ColumnVariant {
  const char* name;
  kernels::LayoutKernel lay_out;
  kernels::ColumnKernel columns;
  kernels::RankKernel cosine_ranks;
  bool needs_avx2;
};

void PrintTo(const ColumnVariant& variant, std::ostream* out) { *out << variant.name; }

class ColumnKernel : public testing::TestWithParam<ColumnVariant> {
 protected:
  void SetUp() override {
    if (GetParam().needs_avx2 && !kernels::cpu_has_avx2()) {
      GTEST_SKIP() << "this CPU has no AVX2";
    }
  }
  std::mt19937 rng{777};
};

TEST_P(ColumnKernel, SumsMatchTheReferenceForEveryLaneRange) {
  const float specials[] = {NaN, INF, -INF, -0.0f, 1e-45f, 3e38f, 1e-39f};
  std::uniform_int_distribution<std::size_t> special(0, std::size(specials) - 1);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  for (std::size_t n : {1, 5, 8, 13, 64, 131}) {
    for (std::size_t count : {1, 7, 8, 9, 24, 33}) {
      const std::size_t stride = (count + COLUMN_GROUP - 1) / COLUMN_GROUP * COLUMN_GROUP;
      std::vector<Vec> vectors(count + MAX_COLUMN_QUERIES, Vec(n));
      for (Vec& v : vectors) {
        for (float& x : v) x = rng() % 50 == 0 ? specials[special(rng)] : std::ldexp(mantissa(rng), exponent(rng));
      }
      std::vector<const float*> pointers;
      for (const Vec& v : vectors) pointers.push_back(v.data());
      Vec columns(n * stride + 1, 12345.0f);
      GetParam().lay_out(pointers.data(), count, n, columns.data(), stride);
      ASSERT_EQ(columns.back(), 12345.0f);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < stride; ++c) {
          ASSERT_TRUE(same_bits(vectors[c < count ? c : 0][i], columns[i * stride + c]));
        }
      }
      const float* const* queries = pointers.data() + count;
      for (std::size_t query_count = 1; query_count <= MAX_COLUMN_QUERIES; ++query_count) {
        for (auto [first, last] : {std::pair<std::size_t, std::size_t>{0, count}, {count / 2, count}, {1, count / 3 + 1}}) {
          Vec out(MAX_COLUMN_QUERIES * stride + 1, 12345.0f);
          GetParam().columns(queries, query_count, columns.data(), stride, first, last, n, out.data());
          ASSERT_EQ(out.back(), 12345.0f);
          for (std::size_t q = 0; q < query_count; ++q) {
            for (std::size_t c = first; c < last; ++c) {
              SCOPED_TRACE(testing::Message() << "n=" << n << " count=" << count << " q=" << q << " c=" << c);
              ASSERT_TRUE(same_bits(sum_products(queries[q], pointers[c], n), out[q * stride + c]));
            }
          }
        }
      }
    }
  }
}

// From square roots of the norms, the rank of the distance that distance_from_sums gives
// from the norms. NaN sums and infinite norms make NaN distances, ranked last.
TEST_P(ColumnKernel, CosineRanksMatchTheSumsFormula) {
  const float norms[] = {0.0f, -0.0f, 1.0f, 0.3f, 9.0f, 1e-30f, 1e-45f, 3e38f, INF, NaN};
  const float sums[] = {0.0f, -0.0f, 1.0f, -0.7f, 2.5f, 1e-38f, -3e38f, INF, NaN};
  for (std::size_t count : {0, 1, 7, 8, 19}) {
    for (float norm : norms) {
      Vec dots(count), other_norms(count), roots(count);
      std::vector<std::uint32_t> ranks(count + 1, 12345);
      for (std::size_t c = 0; c < count; ++c) {
        dots[c] = sums[rng() % std::size(sums)];
        other_norms[c] = norms[rng() % std::size(norms)];
        roots[c] = std::sqrt(other_norms[c]);
      }
      GetParam().cosine_ranks(dots.data(), std::sqrt(norm), roots.data(), count, ranks.data());
      ASSERT_EQ(ranks.back(), 12345u);
      for (std::size_t c = 0; c < count; ++c) {
        ASSERT_EQ(distance_rank(distance_from_sums(dots[c], norm, other_norms[c])), ranks[c])
            << "sum " << dots[c] << " norms " << norm << ", " << other_norms[c];
      }
    }
  }
}

// The rank orders numbers as floats do, both zeros as one, and NaN after everything.
TEST(Distance, RankOrdersLikeTheDistances) {
  const float ascending[] = {-INF, -3e38f, -1.0f, -1e-45f, 0.0f, 1e-45f, 1e-30f, 1.0f, MAX_DISTANCE, INF, NaN};
  for (std::size_t i = 1; i < std::size(ascending); ++i) {
    EXPECT_LT(distance_rank(ascending[i - 1]), distance_rank(ascending[i])) << ascending[i];
  }
  EXPECT_EQ(distance_rank(-0.0f), distance_rank(0.0f));
  EXPECT_EQ(distance_rank(-NaN), UINT32_MAX);
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, ColumnKernel,
    testing::Values(ColumnVariant{"scalar", kernels::lay_out_columns_scalar, kernels::sum_products_columns_scalar,
                                  kernels::cosine_ranks_from_roots_scalar, false},
                    ColumnVariant{"avx2", kernels::lay_out_columns_avx2, kernels::sum_products_columns_avx2,
                                  kernels::cosine_ranks_from_roots_avx2, true},
                    ColumnVariant{"dispatched", lay_out_columns, sum_products_columns,
                                  cosine_ranks_from_roots, false}),
    [](const testing::TestParamInfo<ColumnVariant>& info) { return info.param.name; });

}  // namespace
}  // namespace tarnwick
