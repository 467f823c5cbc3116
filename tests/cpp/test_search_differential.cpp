// The fast search paths (batched kernels, packed point records, flat link rows, scoring
// ahead, pruning by bounds) against plain one-at-a-time versions, bit for bit, under every
// kernel this CPU has, with pruning on and off.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <set>

#include "core/bound.hpp"
#include "core/distance.hpp"
#include "index/exact.hpp"
#include "index/hnsw.hpp"
#include "storage/segment.hpp"
#include "storage/snapshot.hpp"
#include "kernel_switch.hpp"

namespace tarnwick {
namespace {

constexpr std::size_t DIMENSION = 13;  // not a multiple of any kernel's width: tails are used

// Every kernel here, each with pruning on and off.
struct Mode {
  std::string_view kernel;
  bool pruning;
};
std::vector<Mode> modes_here() {
  std::vector<Mode> modes;
  for (std::string_view kernel : kernels_here()) {
    for (bool pruning : {false, true}) modes.push_back(Mode{kernel, pruning});
  }
  return modes;
}
void select_mode(const Mode& mode) {
  select_kernel(mode.kernel);
  select_pruning(mode.pruning);
}

// Spread-out vectors (so that walks end before they reach every node), with a few of another
// length, zero vectors and NaN components, duplicates (equal distances, ties at the worst
// result), vectors one ulp apart, and magnitudes inside and past the range codes cover.
std::vector<float> odd_vector(std::mt19937& random, std::size_t i) {
  std::normal_distribution<float> normal;
  std::vector<float> values(i % 97 == 5 ? DIMENSION - 4 : DIMENSION);
  std::mt19937 repeated(static_cast<std::uint32_t>(i % 5));
  std::mt19937& source = i % 7 == 2 || i % 11 == 4 ? repeated : random;
  for (std::size_t d = 0; d < values.size(); ++d) values[d] = normal(source);
  if (i % 11 == 4) values[0] = std::nextafter(values[0], 10.0f);
  if (i % 13 == 6) for (float& x : values) x *= 1e15f;
  if (i % 17 == 8) for (float& x : values) x *= i % 2 == 0 ? 1e-7f : 1e-21f;
  if (i % 89 == 3) std::fill(values.begin(), values.end(), 0.0f);
  if (i % 113 == 7) values[i % values.size()] = std::numeric_limits<float>::quiet_NaN();
  if (i % 131 == 9) values[i % values.size()] = std::numeric_limits<float>::infinity();
  return values;
}

std::optional<Payload> tenant_of_index(std::size_t i, bool tenants) {
  if (!tenants || i % 3 == 0) return std::nullopt;
  return Payload{{"tenant_id", Keyword{i % 3 == 1 ? "a" : "b"}}};
}

std::vector<std::vector<float>> queries(std::mt19937& random) {
  std::vector<std::vector<float>> all;
  for (std::size_t i = 0; i < 6; ++i) all.push_back(odd_vector(random, 1000 + i));
  all.push_back(odd_vector(random, 2));  // a duplicated vector: ties
  for (float& x : all.emplace_back(odd_vector(random, 1))) x *= 1e-7f;
  all.push_back(std::vector<float>(DIMENSION, 0.0f));
  all.push_back(std::vector<float>(DIMENSION, std::numeric_limits<float>::quiet_NaN()));
  all.push_back(std::vector<float>(DIMENSION - 4, 1.0f));
  return all;
}

std::uint32_t rank(float distance) {
  if (std::isnan(distance)) return UINT32_MAX;
  const auto bits = std::bit_cast<std::uint32_t>(distance == 0.0f ? 0.0f : distance);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

bool holds(const PointTable& points, Slot slot) { return slot < points.slot_count() && points.has_point(slot); }

float plain_distance(const Query& query, const PointTable& points, Slot slot) {
  return holds(points, slot) ? cosine_distance(query.values, points.vector(slot)) : MAX_DISTANCE;
}

// The graph search written plainly: greedy descent, then a best-first walk of layer 0 that
// expands every candidate it takes, with sorted lists instead of heaps.
std::vector<Candidate> plain_search(const HNSWIndex& index, const Query& query, std::uint64_t bound,
                                    const PointTable& points, TenantRef tenant) {
  if (!index.entry_point) return {};
  Slot entry = *index.entry_point;
  for (std::uint64_t layer = std::min<std::uint64_t>(index.max_level, 15); layer >= 1; --layer) {
    float best = plain_distance(query, points, entry);
    for (bool improved = true; improved && index.has_node(entry);) {
      improved = false;
      const std::span<const Slot> list = index.neighbors(entry, layer);
      for (Slot next : std::vector<Slot>(list.begin(), list.end())) {
        if (!holds(points, next)) continue;
        const float distance = plain_distance(query, points, next);
        if (distance < best) best = distance, entry = next, improved = true;
      }
    }
  }
  if (!holds(points, entry)) return {};
  struct Found { std::uint64_t key; float distance; Slot slot; };
  auto by_key = [](const Found& a, const Found& b) { return a.key < b.key; };
  auto accept = [&](Slot slot) { return tenant == NO_TENANT || points.tenant_of(slot) == tenant; };
  std::uint32_t arrivals = 0;
  auto make = [&](float distance, Slot slot) {
    return Found{(std::uint64_t{rank(distance)} << 32) | arrivals++, distance, slot};
  };
  std::set<Slot> visited{entry};
  std::vector<Found> candidates{make(plain_distance(query, points, entry), entry)};
  std::vector<Found> results;
  if (accept(entry)) results.push_back(candidates[0]);
  while (!candidates.empty()) {
    auto nearest = std::min_element(candidates.begin(), candidates.end(), by_key);
    const Found current = *nearest;
    candidates.erase(nearest);
    const std::uint32_t worst = results.empty()
        ? rank(MAX_DISTANCE) : std::uint32_t(std::max_element(results.begin(), results.end(), by_key)->key >> 32);
    if (!index.has_node(current.slot)) continue;
    for (Slot next : index.neighbors(current.slot, 0)) {
      if (next >= points.slot_count() || !visited.insert(next).second || !points.has_point(next)) continue;
      const float distance = plain_distance(query, points, next);
      if (!(rank(distance) < worst || results.size() < bound)) continue;
      candidates.push_back(make(distance, next));
      if (!accept(next)) continue;
      results.push_back(candidates.back());
      if (results.size() > bound) results.erase(std::max_element(results.begin(), results.end(), by_key));
    }
  }
  std::sort(results.begin(), results.end(), by_key);
  std::vector<Candidate> out;
  for (const Found& found : results) out.push_back(Candidate{found.distance, found.slot});
  return out;
}

void expect_same(const std::vector<Candidate>& actual, const std::vector<Candidate>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].slot, expected[i].slot) << "at " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(actual[i].distance), std::bit_cast<std::uint32_t>(expected[i].distance));
  }
}

struct Built {
  PointTable points;
  HNSWIndex index;
};

// The same store under whichever kernel is selected: repeatable levels, some points replaced,
// and links to slots without a point, as a snapshot may hold, from before and after the
// first vector.
void build(Built& built, std::size_t count, bool tenants, std::uint64_t m = 16) {
  built.index.m = m;
  std::mt19937 random(static_cast<std::uint32_t>(count * 2 + tenants));
  const Slot early = *built.points.slot_for(count * 3);
  for (std::size_t i = 0; i < count + count / 10; ++i) {
    const PointId id = i < count ? i : (i * 7) % count;  // the tail replaces earlier points
    const Slot slot = *built.points.insert(id, Point{id, odd_vector(random, i), tenant_of_index(i, tenants)});
    const double u = (random() + 1.0) / 4294967297.0;
    built.index.insert_at_level(slot, built.points, std::min<std::uint64_t>(std::uint64_t(-std::log(u) / std::log(16.0)), 15));
  }
  const Slot late = *built.points.slot_for(count * 3 + 1);
  for (Slot slot = 0; slot < built.points.slot_count(); slot += 9) {
    if (!built.index.has_node(slot)) continue;
    HNSWNode node = built.index.node(slot, built.points);
    node.layer0.insert(node.layer0.begin() + node.layer0.size() / 2, slot % 2 == 0 ? early : late);
    built.index.set_node(slot, std::move(node), built.points);
  }
}

void expect_same_graph(const Built& built, const Built& first) {
  for (Slot slot = 0; slot < built.points.slot_count(); ++slot) {
    ASSERT_EQ(built.index.has_node(slot), first.index.has_node(slot)) << slot;
    if (!built.index.has_node(slot)) continue;
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      std::span<const Slot> a = built.index.neighbors(slot, layer), b = first.index.neighbors(slot, layer);
      ASSERT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << slot << " layer " << layer;
    }
  }
}

class SearchDifferential : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(SearchDifferential, GraphAndExactMatchPlainVersionsUnderEveryKernel) {
  const auto [count, tenants] = GetParam();
  KernelGuard guard;
  std::vector<std::unique_ptr<Built>> stores;
  for (const Mode& mode : modes_here()) {
    SCOPED_TRACE(std::string(mode.kernel) + (mode.pruning ? " pruning" : " exact"));
    select_mode(mode);
    take_bound_decisions();
    stores.push_back(std::make_unique<Built>());
    Built& built = *stores.back();
    build(built, count, tenants);
    // Every kernel builds the same graph, with pruning and without: the same snapshot bytes.
    const Built& first = *stores.front();
    ASSERT_EQ(encode_snapshot(built.points, built.index), encode_snapshot(first.points, first.index));
    expect_same_graph(built, first);
    std::mt19937 random(7);
    std::vector<TenantRef> refs{NO_TENANT};
    if (tenants) refs.push_back(*built.points.tenant("a"));
    for (const std::vector<float>& values : queries(random)) {
      const Query query = make_query(values);
      for (TenantRef tenant : refs) {
        for (std::uint64_t bound : {0, 1, 10, 32, 700}) {
          expect_same(built.index.search(query, bound, built.points, tenant),
                      plain_search(built.index, query, bound, built.points, tenant));
        }
        for (Metric metric : {Metric::DotProduct, Metric::Cosine, Metric::Euclidean}) {
          std::vector<ScoredPoint> exact = search_exact_knn(values, 25, metric, built.points, tenant);
          // Full stable sort of every point that can be scored, in slot order.
          std::vector<ScoredPoint> expected;
          for (Slot slot = 0; slot < built.points.slot_count(); ++slot) {
            if (!built.points.has_point(slot) || (tenant != NO_TENANT && built.points.tenant_of(slot) != tenant)) continue;
            std::span<const float> vector = built.points.vector(slot);
            const Score score = metric == Metric::DotProduct ? dot_product(values, vector)
                                : metric == Metric::Cosine   ? cosine_similarity(values, vector)
                                                             : euclidean_distance(values, vector);
            if (score.ok()) expected.push_back(ScoredPoint{built.points.point_id(slot), score.value});
          }
          std::stable_sort(expected.begin(), expected.end(), [metric](const ScoredPoint& a, const ScoredPoint& b) {
            return score_precedes(metric, a.score, b.score);
          });
          expected.resize(std::min<std::size_t>(expected.size(), 25));
          ASSERT_EQ(exact.size(), expected.size());
          for (std::size_t i = 0; i < exact.size(); ++i) {
            EXPECT_EQ(exact[i].id, expected[i].id);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(exact[i].score), std::bit_cast<std::uint32_t>(expected[i].score));
          }
        }
      }
    }
    // Pruning decides neighbours by bound (and only when it is on).
    const BoundDecisions decisions = take_bound_decisions();
    EXPECT_EQ(decisions.by_bound > 0, mode.pruning);
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, SearchDifferential,
                         ::testing::Combine(::testing::Values(480, 500, 520, 900), ::testing::Bool()));

// With small caps nearly every back-link overflows a list that selection wrote, and such a
// list takes the link by its links' codes when pruning is on: the graph stays the same.
TEST(SearchDifferential, CrowdedListsTakeLinksAlikeUnderEveryKernel) {
  KernelGuard guard;
  std::vector<std::unique_ptr<Built>> stores;
  for (const Mode& mode : modes_here()) {
    SCOPED_TRACE(std::string(mode.kernel) + (mode.pruning ? " pruning" : " exact"));
    select_mode(mode);
    stores.push_back(std::make_unique<Built>());
    build(*stores.back(), 1500, false, 3);
    const Built& built = *stores.back();
    const Built& first = *stores.front();
    expect_same_graph(built, first);
    ASSERT_TRUE(encode_snapshot(built.points, built.index) == encode_snapshot(first.points, first.index));
  }
}

// A segment answers the same under every kernel, with pruning and without, whichever route
// (exact or graph) it takes.
TEST(SearchDifferential, SegmentAnswersAlikeUnderEveryKernel) {
  KernelGuard guard;
  for (std::size_t count : {499, 700}) {
    Segment segment;
    std::mt19937 random(static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) segment.upsert(i, odd_vector(random, i), tenant_of_index(i, true));
    for (const std::vector<float>& values : queries(random)) {
      for (Metric metric : {Metric::DotProduct, Metric::Cosine, Metric::Euclidean}) {
        for (std::optional<std::string_view> tenant : {std::optional<std::string_view>{}, std::optional<std::string_view>{"b"}}) {
          std::vector<std::vector<ScoredPoint>> answers;
          for (const Mode& mode : modes_here()) {
            select_mode(mode);
            answers.push_back(segment.search(values, 40, metric, tenant));
          }
          for (const std::vector<ScoredPoint>& answer : answers) {
            ASSERT_EQ(answer.size(), answers[0].size());
            for (std::size_t i = 0; i < answer.size(); ++i) {
              EXPECT_EQ(answer[i].id, answers[0][i].id);
              EXPECT_EQ(std::bit_cast<std::uint32_t>(answer[i].score), std::bit_cast<std::uint32_t>(answers[0][i].score));
            }
          }
        }
      }
    }
  }
}

// Layer-0 lists longer than a row (a loaded graph may have them) are kept whole, also when a
// node is replaced by one with a short list and back, and searched like any other.
TEST(SearchDifferential, ListsLongerThanARow) {
  PointTable points;
  HNSWIndex index;
  index.m = 2;  // rows of four links
  std::mt19937 random(3);
  for (PointId id = 0; id < 40; ++id) points.insert(id, Point{id, odd_vector(random, id), std::nullopt});
  index.entry_point = 0;
  const std::vector<Slot> long_list{5, 9, 1, 30, 2, 7, 11, 3, 39, 4};
  for (const std::vector<Slot>& list : {long_list, std::vector<Slot>{8, 6}, long_list}) {
    for (Slot slot = 0; slot < 40; ++slot) {
      std::vector<Slot> links = slot == 0 ? list : std::vector<Slot>{Slot((slot + 1) % 40), Slot((slot * 7) % 40)};
      index.set_node(slot, HNSWNode{slot, links, {}}, points);
      std::span<const Slot> stored = index.neighbors(slot, 0);
      ASSERT_EQ(std::vector<Slot>(stored.begin(), stored.end()), links);
    }
    for (const std::vector<float>& values : queries(random)) {
      expect_same(index.search(make_query(values), 6, points, NO_TENANT),
                  plain_search(index, make_query(values), 6, points, NO_TENANT));
    }
  }
  EXPECT_EQ(index.node_count(), 40u);
}

}  // namespace
}  // namespace tarnwick
