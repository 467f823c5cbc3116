#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>

#include "index/exact.hpp"

namespace tarnwick {
namespace {

PointTable table_of(const std::vector<std::vector<float>>& vectors) {
  PointTable table;
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    table.insert(i + 1, Point{i + 1, vectors[i], std::nullopt});
  }
  return table;
}

std::vector<std::pair<PointId, std::uint32_t>> bits(const std::vector<ScoredPoint>& found) {
  std::vector<std::pair<PointId, std::uint32_t>> out;
  for (const ScoredPoint& entry : found) {
    out.emplace_back(entry.id, std::bit_cast<std::uint32_t>(entry.score));
  }
  return out;
}

// Score everything with the scalar metrics, stable-sort, truncate.
std::vector<ScoredPoint> reference(std::span<const float> query, std::uint64_t limit, Metric metric,
                                   const PointTable& points, TenantRef tenant) {
  std::vector<ScoredPoint> all;
  for (Slot slot = 0; slot < points.slot_count(); ++slot) {
    if (!points.has_point(slot) || (tenant != NO_TENANT && points.tenant_of(slot) != tenant)) {
      continue;
    }
    Score score = metric == Metric::Cosine       ? cosine_similarity(query, points.vector(slot))
                  : metric == Metric::DotProduct ? dot_product(query, points.vector(slot))
                                                 : euclidean_distance(query, points.vector(slot));
    if (score.ok()) {
      all.push_back(ScoredPoint{points.point_id(slot), score.value});
    }
  }
  std::stable_sort(all.begin(), all.end(), [metric](const ScoredPoint& a, const ScoredPoint& b) {
    return score_precedes(metric, a.score, b.score);
  });
  all.resize(std::min<std::uint64_t>(limit, all.size()));
  return all;
}

TEST(ExactScan, ListedExample) {
  PointTable table = table_of({{1, 0}, {0, 1}, {1, 1}});
  std::vector<float> query{1, 0};
  auto cosine = search_exact_knn(query, 2, Metric::Cosine, table, NO_TENANT);
  EXPECT_EQ(bits(cosine), (bits({{1, 1.0f}, {3, 0.70710677f}})));
  auto euclidean = search_exact_knn(query, 2, Metric::Euclidean, table, NO_TENANT);
  EXPECT_EQ(bits(euclidean), (bits({{1, 0.0f}, {3, 1.0f}})));
}

TEST(ExactScan, LeavesOutWhatCannotBeScored) {
  PointTable table = table_of({{0, 0}, {1, 2, 3}, {}, {2, 2}});
  EXPECT_EQ(bits(search_exact_knn(std::vector<float>{1, 1}, 10, Metric::Cosine, table, NO_TENANT)),
            (bits({{4, cosine_similarity(std::vector<float>{1, 1}, std::vector<float>{2, 2}).value}})));
  EXPECT_TRUE(search_exact_knn(std::vector<float>{0, 0}, 10, Metric::Cosine, table, NO_TENANT).empty());
  for (Metric metric : {Metric::DotProduct, Metric::Euclidean}) {
    auto found = search_exact_knn({}, 10, metric, table, NO_TENANT);
    ASSERT_EQ(found.size(), 1u);  // only the empty vector, scored -0.0
    EXPECT_EQ(std::bit_cast<std::uint32_t>(found[0].score), 0x80000000u);
  }
}

TEST(ExactScan, TiesKeepTableOrderAndNaNComesLast) {
  PointTable table = table_of({{1, 0}, {NAN, 0}, {2, 0}, {1, 0}, {2, 0}});
  auto found = search_exact_knn(std::vector<float>{1, 0}, UINT64_MAX, Metric::DotProduct, table, NO_TENANT);
  std::vector<PointId> ids;
  for (auto& entry : found) ids.push_back(entry.id);
  EXPECT_EQ(ids, (std::vector<PointId>{3, 5, 1, 4, 2}));
  EXPECT_TRUE(search_exact_knn(std::vector<float>{1, 0}, 0, Metric::DotProduct, table, NO_TENANT).empty());
}

class ExactDifferential : public testing::TestWithParam<Metric> {};

TEST_P(ExactDifferential, MatchesScoringEverythingAndStableSorting) {
  std::mt19937 random(7);
  std::normal_distribution<float> normal;
  PointTable table;
  for (PointId id = 0; id < 700; ++id) {
    std::vector<float> values(id % 50 == 0 ? 3 : 16);
    for (float& value : values) value = std::round(normal(random) * 2) / 2;  // many ties
    if (id % 97 == 0) values.assign(values.size(), 0.0f);
    Payload payload{{"tenant_id", Keyword{id % 3 ? "a" : "b"}}};
    table.insert(id * 31, Point{id, values, id % 7 ? std::optional(payload) : std::nullopt});
  }
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<float> query(16);
    for (float& value : query) value = std::round(normal(random) * 2) / 2;
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{650}, UINT64_MAX}) {
      for (TenantRef tenant : {NO_TENANT, *table.tenant("a")}) {
        ASSERT_EQ(bits(search_exact_knn(query, limit, GetParam(), table, tenant)),
                  bits(reference(query, limit, GetParam(), table, tenant)));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, ExactDifferential,
                         testing::Values(Metric::DotProduct, Metric::Cosine, Metric::Euclidean));

}  // namespace
}  // namespace tarnwick
