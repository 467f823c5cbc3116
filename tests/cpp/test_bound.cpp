// Codes and their intervals: every interval holds the exact float score the kernels return,
// on adversarial pairs of every length, and the integer sums agree under every kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "core/bound.hpp"
#include "core/point_table.hpp"
#include "index/exact.hpp"
#include "storage/snapshot.hpp"
#include "kernel_switch.hpp"

namespace tarnwick {
namespace {

float next_up(float value) { return std::nextafter(value, std::numeric_limits<float>::infinity()); }

// Pairs that stress the bounds: near and far directions, last-bit differences, magnitudes at
// the edges of the codable range and past them, and elements a code cannot hold.
std::vector<std::pair<std::vector<float>, std::vector<float>>> adversarial_pairs(std::size_t n,
                                                                                std::mt19937& random) {
  std::normal_distribution<float> normal;
  auto gaussian = [&](float scale) {
    std::vector<float> v(n);
    for (float& x : v) x = normal(random) * scale;
    return v;
  };
  std::vector<std::pair<std::vector<float>, std::vector<float>>> pairs;
  for (float scale : {1.0f, 1e-8f, 1e-12f, 1e12f, 1e15f, 1e-19f, 1e20f}) {
    std::vector<float> a = gaussian(scale);
    pairs.emplace_back(a, gaussian(scale));
    pairs.emplace_back(a, a);                             // duplicates
    std::vector<float> last_bit = a;
    last_bit[n - 1] = next_up(last_bit[n - 1]);           // one ulp in one element
    pairs.emplace_back(a, last_bit);
    std::vector<float> opposite = a;
    for (float& x : opposite) x = -x;
    pairs.emplace_back(a, opposite);
    std::vector<float> near = a;
    for (float& x : near) x += normal(random) * scale * 1e-3f;
    pairs.emplace_back(a, near);
    pairs.emplace_back(a, gaussian(scale * 1e6f));        // very different magnitudes
  }
  std::vector<float> spike(n, 0.0f);
  spike[0] = 1.0f;
  pairs.emplace_back(spike, std::vector<float>(n, 1.0f));  // one large element, all equal
  std::vector<float> mixed = gaussian(1.0f);
  mixed[n / 2] = 3e4f;                                       // one element dominates the scale
  pairs.emplace_back(mixed, gaussian(1.0f));
  pairs.emplace_back(gaussian(1.0f), std::vector<float>(n, 0.0f));
  std::vector<float> with_nan = gaussian(1.0f);
  with_nan[n / 3] = std::numeric_limits<float>::quiet_NaN();
  pairs.emplace_back(gaussian(1.0f), with_nan);
  std::vector<float> with_inf = gaussian(1.0f);
  with_inf[n - 1] = -std::numeric_limits<float>::infinity();
  pairs.emplace_back(with_inf, gaussian(1.0f));
  std::vector<float> subnormal(n, 1e-40f);
  pairs.emplace_back(gaussian(1.0f), subnormal);
  return pairs;
}

void expect_holds(Bounds bounds, float exact, const char* what, std::size_t n, std::size_t pair) {
  EXPECT_TRUE(bounds.low <= exact && exact <= bounds.high)
      << what << " n=" << n << " pair " << pair << ": [" << bounds.low << ", " << bounds.high
      << "] misses " << exact;
}

TEST(Bounds, HoldTheExactScoresOfAdversarialPairs) {
  KernelGuard guard;
  std::mt19937 random(7);
  for (std::size_t n : {1, 2, 3, 7, 8, 13, 15, 16, 17, 31, 100, 128, 511, 1000, 1536, 2000}) {
    const auto pairs = adversarial_pairs(n, random);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
      const auto& [query, stored] = pairs[p];
      std::vector<std::int8_t> row(code_row_bytes(n));
      const float squares = sum_squares(stored.data(), n);
      encode_row(stored, squares, row.data());
      QueryCode code;
      encode_query(query, sum_squares(query.data(), query.size()), code);
      if (!code.usable || !has_code(row.data())) {
        EXPECT_FALSE(code.usable && codable(stored, squares));
        continue;
      }
      std::vector<std::int64_t> dots;
      for (std::string_view kernel : kernels_here()) {
        select_kernel(kernel);
        const std::int8_t* rows[] = {row.data(), row.data(), row.data(), row.data(), row.data()};
        std::int64_t out[5];
        code_dots(code, rows, 5, out);  // a full group of four and a single one
        dots.insert(dots.end(), out, out + 5);
      }
      EXPECT_TRUE(std::all_of(dots.begin(), dots.end(), [&](std::int64_t d) { return d == dots[0]; }));
      const std::int64_t dot = dots[0];
      const float root = std::sqrt(squares);
      expect_holds(cosine_distance_bounds(code, row.data(), dot), cosine_distance(query, stored),
                   "cosine distance", n, p);
      expect_holds(cosine_similarity_bounds(code, row.data(), dot), cosine_similarity(query, stored).value,
                   "cosine", n, p);
      expect_holds(dot_product_bounds(code, row.data(), dot, root), dot_product(query, stored).value,
                   "dot", n, p);
      expect_holds(euclidean_bounds(code, row.data(), dot, root), euclidean_distance(query, stored).value,
                   "euclidean", n, p);
      // Tight enough to decide: the cosine interval of a random pair is well under 0.1 wide.
      const Bounds cosine = cosine_distance_bounds(code, row.data(), dot);
      EXPECT_LT(cosine.high - cosine.low, n >= 8 ? 0.1 : 0.5) << n;
    }
  }
}

TEST(Bounds, CodableOnlyInsideTheSafeRange) {
  const std::vector<float> ok{1.0f, 2.0f};
  EXPECT_TRUE(codable(ok, sum_squares(ok.data(), 2)));
  const std::vector<float> zero{0.0f, -0.0f};
  EXPECT_FALSE(codable(zero, sum_squares(zero.data(), 2)));
  const std::vector<float> tiny{1e-19f, 1e-19f};
  EXPECT_FALSE(codable(tiny, sum_squares(tiny.data(), 2)));
  const std::vector<float> huge{1e30f, 1.0f};
  EXPECT_FALSE(codable(huge, sum_squares(huge.data(), 2)));
  const std::vector<float> nan{std::numeric_limits<float>::quiet_NaN(), 1.0f};
  EXPECT_FALSE(codable(nan, 1.0f));
  const std::vector<float> too_long(MAX_CODE_DIMENSION + 1, 1.0f);
  EXPECT_FALSE(codable(too_long, sum_squares(too_long.data(), too_long.size())));
  const std::vector<float> longest(MAX_CODE_DIMENSION, 1.0f);
  EXPECT_TRUE(codable(longest, sum_squares(longest.data(), longest.size())));
}

// The largest possible integer sums (every element at its largest step) come out exact.
// The largest products possible, in rows of 4 (summed together) and a row left over, either
// side of the length up to which four rows' totals are added up in int32.
TEST(Bounds, LongestCodesSumWithoutOverflow) {
  KernelGuard guard;
  for (std::size_t n : {std::size_t{512}, std::size_t{513}, MAX_CODE_DIMENSION}) {
    const std::vector<float> same(n, 1.0f);
    const std::vector<float> opposite(n, -1.0f);
    QueryCode code;
    encode_query(same, sum_squares(same.data(), same.size()), code);
    std::vector<std::vector<std::int8_t>> rows;
    for (std::size_t i = 0; i < 5; ++i) {
      const auto& stored = i % 3 == 1 ? opposite : same;
      rows.emplace_back(code_row_bytes(n));
      encode_row(stored, sum_squares(stored.data(), stored.size()), rows.back().data());
    }
    const std::int8_t* row_pointers[5];
    for (std::size_t i = 0; i < 5; ++i) row_pointers[i] = rows[i].data();
    const std::int64_t largest = std::int64_t{32767} * 127 * static_cast<std::int64_t>(n);
    for (std::string_view kernel : kernels_here()) {
      select_kernel(kernel);
      std::int64_t dots[5];
      code_dots(code, row_pointers, 5, dots);
      for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(dots[i], i % 3 == 1 ? -largest : largest) << kernel << " n=" << n << " row " << i;
      }
    }
  }
}

std::vector<std::int8_t> expected_row(const std::vector<float>& vector) {
  std::vector<std::int8_t> row(code_row_bytes(vector.size()));
  encode_row(vector, sum_squares(vector.data(), vector.size()), row.data());
  return row;
}

std::vector<std::int8_t> stored_row(const PointTable& points, Slot slot) {
  const std::int8_t* row = points.code_row(slot);
  return {row, row + code_row_bytes(points.dimension())};
}

TEST(Bounds, CodesFollowReplacementAndLoading) {
  PointTable points;
  const std::vector<float> first{1.0f, -2.0f, 3.0f};
  const std::vector<float> second{-4.0f, 0.5f, 0.25f};
  const Slot slot = *points.insert(7, Point{7, first, std::nullopt});
  EXPECT_EQ(stored_row(points, slot), expected_row(first));
  points.insert(7, Point{7, second, std::nullopt});
  EXPECT_EQ(stored_row(points, slot), expected_row(second));
  points.insert(8, Point{8, {0.0f, 0.0f, 0.0f}, std::nullopt});
  EXPECT_FALSE(has_code(points.code_row(*points.find(8))));

  auto decoded = decode_snapshot(encode_snapshot(points, HNSWIndex{}));
  ASSERT_TRUE(std::holds_alternative<Snapshot>(decoded));
  const PointTable& loaded = std::get<Snapshot>(decoded).points;
  EXPECT_EQ(stored_row(loaded, *loaded.find(7)), expected_row(second));
  EXPECT_FALSE(has_code(loaded.code_row(*loaded.find(8))));
}

// A walk reads a slot's row before its flags, so a row must hold a code only while the slot's
// vector is in the arena.
TEST(Bounds, RowsHoldCodesOnlyForVectorsInTheArena) {
  PointTable points;
  const Slot early = *points.slot_for(1);  // seen before the common length was set
  const Slot empty = *points.insert(2, Point{2, {}, std::nullopt});
  const Slot slot = *points.insert(3, Point{3, {1.0f, 2.0f, 3.0f}, std::nullopt});
  const Slot later = *points.slot_for(4);
  auto coded = [&points](Slot s) { return has_code(points.code_row(s)); };
  EXPECT_FALSE(coded(early));
  EXPECT_FALSE(coded(empty));
  EXPECT_TRUE(coded(slot));
  EXPECT_FALSE(coded(later));
  points.insert(3, Point{3, {1.0f, 2.0f}, std::nullopt});
  EXPECT_FALSE(coded(slot));
  points.insert(3, Point{3, {1.0f, 2.0f, 3.0f}, std::nullopt});
  EXPECT_TRUE(coded(slot));
  ASSERT_TRUE(points.erase(3));
  EXPECT_FALSE(coded(slot));
  EXPECT_EQ(*points.slot_for(5), slot);  // reused, still without a code
  EXPECT_FALSE(coded(slot));
}

// Stores of every kind of point, with some erased, scanned with pruning on and off under every
// kernel and metric, with and without a tenant: the same ids, order and score bits.
std::vector<std::vector<float>> scan_store(std::size_t count, std::size_t n, std::mt19937& random) {
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> vectors;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> v(n);
    for (float& x : v) x = normal(random);
    if (i % 7 == 3 && !vectors.empty()) v = vectors[i / 2];                 // duplicates: ties
    if (i % 11 == 4 && !vectors.empty()) {                                  // one ulp apart
      v = vectors.back();
      v[0] = next_up(v[0]);
    }
    if (i % 13 == 5) for (float& x : v) x *= 1e18f;                         // uncoded
    if (i % 17 == 6) v[i % n] = std::numeric_limits<float>::quiet_NaN();
    if (i % 19 == 7) std::fill(v.begin(), v.end(), 0.0f);
    if (i % 23 == 8) v.resize(n + 1, 1.0f);                                 // another length
    if (i % 29 == 9) for (float& x : v) x *= 1e-9f;
    vectors.push_back(v);
  }
  return vectors;
}

std::vector<std::pair<PointId, std::uint32_t>> bits(const std::vector<ScoredPoint>& found) {
  std::vector<std::pair<PointId, std::uint32_t>> out;
  for (const ScoredPoint& entry : found) out.emplace_back(entry.id, std::bit_cast<std::uint32_t>(entry.score));
  return out;
}

TEST(Bounds, PrunedScansMatchFullScansBitForBit) {
  KernelGuard guard;
  std::mt19937 random(11);
  for (std::size_t n : {1, 5, 16, 33}) {
    for (std::size_t count : {3, 60, 499}) {
      const auto vectors = scan_store(count, n, random);
      PointTable points;
      for (std::size_t i = 0; i < vectors.size(); ++i) {
        std::optional<Payload> payload;
        if (i % 2 == 0) payload = Payload{{"tenant_id", Keyword{"a"}}};
        points.insert(i + 1, Point{i + 1, vectors[i], std::move(payload)});
      }
      for (std::size_t i = 10; i < vectors.size(); i += 31) {
        points.erase(i + 1);  // slots without points, in the scan's way
      }
      std::vector<std::vector<float>> queries{vectors[0], vectors[count / 2], vectors[count - 1]};
      queries.push_back(std::vector<float>(n, 1.0f));
      queries.push_back(std::vector<float>(n, 0.0f));
      for (float& x : queries.emplace_back(vectors[1])) x *= 1e-6f;
      for (const auto& query : queries) {
        for (Metric metric : {Metric::DotProduct, Metric::Cosine, Metric::Euclidean}) {
          for (TenantRef tenant : {NO_TENANT, *points.tenant("a")}) {
            // 64 and 65 sit either side of where the best scores so far move from a sorted
            // list to a heap.
            for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{10},
                                        std::uint64_t{64}, std::uint64_t{65}, std::uint64_t{count - 1},
                                        std::uint64_t{count}, UINT64_MAX}) {
              select_pruning(false);
              select_kernel("scalar");
              const auto expected = bits(search_exact_knn(query, limit, metric, points, tenant));
              select_pruning(true);
              for (std::string_view kernel : kernels_here()) {
                select_kernel(kernel);
                EXPECT_EQ(bits(search_exact_knn(query, limit, metric, points, tenant)), expected)
                    << "n=" << n << " count=" << count << " metric=" << int(metric) << " limit=" << limit
                    << " " << kernel;
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick
