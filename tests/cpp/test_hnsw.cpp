#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "core/distance.hpp"
#include "index/hnsw.hpp"
#include "index/neighbor_selection.hpp"

namespace tarnwick {
namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> random_vector(std::mt19937& random, std::size_t dimension) {
  std::normal_distribution<float> normal;
  std::vector<float> values(dimension);
  for (float& value : values) value = normal(random);
  return values;
}

// Points scattered around a few random centres.
std::vector<std::vector<float>> clustered(std::mt19937& random, std::size_t count, std::size_t dimension,
                                          std::size_t clusters, float spread) {
  std::vector<std::vector<float>> centres;
  for (std::size_t c = 0; c < clusters; ++c) centres.push_back(random_vector(random, dimension));
  std::vector<std::vector<float>> values;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> point = random_vector(random, dimension);
    for (std::size_t d = 0; d < dimension; ++d) point[d] = centres[i % clusters][d] + spread * point[d];
    values.push_back(point);
  }
  return values;
}

// Levels with the distribution of random_level(16), but repeatable.
std::uint64_t repeatable_level(std::mt19937& random) {
  const double u = (random() + 1.0) / 4294967297.0;
  return std::min<std::uint64_t>(static_cast<std::uint64_t>(-std::log(u) / std::log(16.0)), 15);
}

Payload tenant_payload(std::string name) { return Payload{{"tenant_id", Keyword{std::move(name)}}}; }

Slot store(PointTable& points, PointId id, std::vector<float> values, std::optional<Payload> payload = {}) {
  return *points.insert(id, Point{id, std::move(values), std::move(payload)});
}

// Nodes reachable from the entry point over layer-0 links.
std::set<Slot> reachable(const HNSWIndex& index) {
  std::set<Slot> seen{*index.entry_point};
  std::vector<Slot> stack{*index.entry_point};
  while (!stack.empty()) {
    Slot slot = stack.back();
    stack.pop_back();
    for (Slot next : index.neighbors(slot, 0)) {
      if (seen.insert(next).second) stack.push_back(next);
    }
  }
  return seen;
}

std::vector<Slot> reachable_or_empty(const HNSWIndex& index) {
  if (!index.entry_point) return {};
  const std::set<Slot> seen = reachable(index);
  return std::vector<Slot>(seen.begin(), seen.end());
}

// The `count` nearest slots by cosine distance, scanning every point.
std::vector<Slot> brute_force(const PointTable& points, std::span<const float> query, std::size_t count,
                              TenantRef tenant = NO_TENANT) {
  std::vector<std::pair<float, Slot>> all;
  for (Slot slot = 0; slot < points.slot_count(); ++slot) {
    if (tenant == NO_TENANT || points.tenant_of(slot) == tenant) {
      all.emplace_back(cosine_distance(query, points.vector(slot)), slot);
    }
  }
  std::stable_sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.first < b.first; });
  std::vector<Slot> nearest;
  for (std::size_t i = 0; i < std::min(count, all.size()); ++i) nearest.push_back(all[i].second);
  return nearest;
}

TEST(HnswLevel, DegenerateBasesGiveFixedLevels) {
  for (int draw = 0; draw < 1000; ++draw) {
    EXPECT_EQ(random_level(0), 0u);
    EXPECT_EQ(random_level(1), 15u);
  }
}

TEST(HnswLevel, BaseSixteenThinsEachLayerSixteenfold) {
  constexpr int draws = 200000;
  std::map<std::uint64_t, int> at_least;
  for (int draw = 0; draw < draws; ++draw) {
    std::uint64_t level = random_level(16);
    ASSERT_LE(level, 15u);
    for (std::uint64_t l = 1; l <= level; ++l) ++at_least[l];
  }
  EXPECT_NEAR(at_least[1], draws / 16.0, 600);
  EXPECT_NEAR(at_least[2], draws / 256.0, 150);
  EXPECT_LT(at_least[4], 20);
}

TEST(HnswDistance, MatchesCosineDistanceBitForBit) {
  const std::vector<std::pair<std::vector<float>, std::vector<float>>> pairs = {
      {{1.0f, 2.0f, 3.0f}, {0.3f, -7.0f, 1e-3f}}, {{1e30f, 1e30f}, {1e-30f, 3.0f}},
      {{1.0f, 0.0f}, {1.0f, 0.0f, 0.0f}},        {{}, {}},
      {{0.0f, 0.0f}, {1.0f, 1.0f}},              {{NaN, 1.0f}, {1.0f, 1.0f}},
      {{0.1f, 0.2f, 0.3f}, {0.1f, 0.2f, 0.3f}}};
  for (const auto& [a, b] : pairs) {
    PointTable points;
    Slot slot = store(points, 1, b);
    float expected = cosine_distance(a, b);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(distance_to(make_query(a), points, slot)),
              std::bit_cast<std::uint32_t>(expected));
  }
}

// Hand-built layer-0 graphs over a fixed set of points; query (1, 0).
// Slots: 0 far (distance 1), 1 nearer (0.29), 2 and 3 nearest and equal, 4 NaN,
// 5 a slot without a point, 6 near with a point but no node.
struct WalkCase {
  const char* name;
  std::map<Slot, std::vector<Slot>> links;
  Slot entry;
  std::uint64_t layer;
  Slot expected;
};

class HnswWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(HnswWalk, EndsWhereNoNeighbourImproves) {
  const WalkCase& c = GetParam();
  PointTable points;
  store(points, 0, {0.0f, 1.0f});
  store(points, 1, {1.0f, 1.0f});
  store(points, 2, {1.0f, 0.1f});
  store(points, 3, {1.0f, 0.1f});
  store(points, 4, {NaN, 0.0f});
  points.slot_for(5);
  store(points, 6, {2.0f, 0.05f});
  HNSWIndex index;
  for (Slot slot = 0; slot < 6; ++slot) {
    HNSWNode node{slot, {}, {}};
    if (c.links.count(slot)) node.neighbors_mut(c.layer < MAX_LAYERS ? c.layer : 0) = c.links.at(slot);
    index.set_node(slot, node, points);
  }
  index.entry_point = c.entry;
  std::vector<float> query{1.0f, 0.0f};
  EXPECT_EQ(index.search_layer(make_query(query), c.entry, c.layer, points), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HnswWalk,
    ::testing::Values(WalkCase{"best_of_whole_list", {{0, {1, 2}}}, 0, 0, 2},
                      WalkCase{"first_of_equals", {{0, {3, 2}}}, 0, 0, 3},
                      WalkCase{"several_hops", {{0, {1}}, {1, {0, 2}}}, 0, 0, 2},
                      WalkCase{"upper_layer", {{0, {1}}, {1, {2}}}, 0, 3, 2},
                      WalkCase{"nan_entry_never_moves", {{4, {2}}}, 4, 0, 4},
                      WalkCase{"nan_neighbour_never_wins", {{0, {4, 1}}}, 0, 0, 1},
                      WalkCase{"pointless_slot_skipped", {{0, {5}}}, 0, 0, 0},
                      WalkCase{"nodeless_point_ends_walk", {{0, {6, 1}}, {6, {2}}}, 0, 0, 6},
                      WalkCase{"layer_out_of_range", {{0, {2}}}, 0, 16, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Insertion invariants, for link caps from degenerate to the default.
class HnswInsert : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(HnswInsert, KeepsCapsLevelsAndEntryPoint) {
  const std::uint64_t m = GetParam();
  std::mt19937 random(static_cast<unsigned>(m) + 7);
  PointTable points;
  HNSWIndex index;
  index.m = m;
  // A slot's highest level so far: links that others keep towards a re-inserted node may
  // still draw back-links up to it.
  std::map<Slot, std::uint64_t> levels;
  std::optional<Slot> entry;
  std::uint64_t top = 0;
  // Re-inserted identifiers get new vectors and levels while their old nodes are linked.
  for (PointId id = 0; id < 1800; ++id) {
    PointId key = id < 1500 ? id : random() % 1500;
    Slot slot = store(points, key, random_vector(random, 8));
    std::uint64_t level = std::min<std::uint64_t>(random_level(m), 4);
    index.insert_at_level(slot, points, level);
    levels[slot] = std::max(levels[slot], level);
    if (!entry || level > top) {
      entry = slot;
      top = level;
    }
  }
  EXPECT_EQ(index.entry_point, entry);
  EXPECT_EQ(index.max_level, top);
  EXPECT_EQ(index.node_count(), 1500u);
  const std::size_t cap = std::max<std::uint64_t>(m, 1);
  for (const auto& [slot, level] : levels) {
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      std::span<const Slot> list = index.neighbors(slot, layer);
      if (layer > level) {
        EXPECT_TRUE(list.empty()) << "slot " << slot << " layer " << layer;
        continue;
      }
      EXPECT_LE(list.size(), layer == 0 ? 2 * cap : cap);
      std::set<Slot> distinct(list.begin(), list.end());
      EXPECT_EQ(distinct.size(), list.size());
      EXPECT_EQ(distinct.count(slot), 0u) << "self-link at slot " << slot;
      for (Slot linked : list) EXPECT_TRUE(index.has_node(linked));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Caps, HnswInsert, ::testing::Values(0, 1, 2, 4, 16));

// Angles from the new node q at -0.05 rad: a at 0, b at 0.1 (nearer to a than to q),
// c at -pi/2 (nearer to q than to a), d at pi/2 (nearer to a than to q).
TEST(HnswInsert, SelectsNeighboursThatSpreadOut) {
  PointTable points;
  HNSWIndex index;
  const std::vector<std::vector<float>> at = {{1.0f, 0.0f}, {1.0f, 0.1f}, {0.0f, -1.0f}, {0.0f, 1.0f}};
  for (PointId id = 0; id < at.size(); ++id) index.insert_at_level(store(points, id, at[id]), points, 0);
  Slot q = store(points, 9, {1.0f, -0.05f});
  index.insert_at_level(q, points, 0);
  std::span<const Slot> links = index.neighbors(q, 0);
  EXPECT_EQ(std::vector<Slot>(links.begin(), links.end()), (std::vector<Slot>{0, 2}));
  for (Slot linked : links) {
    std::span<const Slot> back = index.neighbors(linked, 0);
    EXPECT_NE(std::find(back.begin(), back.end(), q), back.end());
  }
}

TEST(HnswInsert, EveryPointReachableOnLayerZero) {
  std::mt19937 random(11);
  PointTable points;
  HNSWIndex index;
  for (PointId id = 0; id < 5000; ++id) {
    index.insert_at_level(store(points, id, random_vector(random, 12)), points, repeatable_level(random));
  }
  EXPECT_EQ(reachable(index).size(), 5000u);
}

// Insertion against a plain version: neighbour selection one pair at a time, and the links
// it adds and prunes. The beam covers the whole graph, so the nodes a walk finds are all
// reachable ones, sorted by distance; every node is on layer 0.
std::uint32_t distance_order(float distance) {
  if (std::isnan(distance)) return UINT32_MAX;
  const auto bits = std::bit_cast<std::uint32_t>(distance == 0.0f ? 0.0f : distance);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

std::vector<Slot> plain_selection(const PointTable& points, std::vector<std::pair<float, Slot>> sorted,
                                  std::size_t cap, Slot exclude, float slack = 1.0f) {
  std::vector<Slot> kept;
  for (const auto& [distance, slot] : sorted) {
    if (slot == exclude) continue;
    if (kept.size() >= cap) break;
    const bool dropped = std::any_of(kept.begin(), kept.end(), [&](Slot other) {
      return distance_order(cosine_distance(points.vector(other), points.vector(slot))) < distance_order(distance / slack);
    });
    if (!dropped) kept.push_back(slot);
  }
  return kept;
}

// By distance from `base`; equal distances keep the order of `slots`.
std::vector<std::pair<float, Slot>> by_distance(const PointTable& points, Slot base, const std::vector<Slot>& slots) {
  std::vector<std::pair<float, Slot>> sorted;
  for (Slot slot : slots) sorted.emplace_back(cosine_distance(points.vector(base), points.vector(slot)), slot);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](auto& a, auto& b) { return distance_order(a.first) < distance_order(b.first); });
  return sorted;
}

struct InsertCase {
  const char* name;
  std::size_t dimension;
  std::uint64_t m;
  bool clustered;
  bool odd_length;  // one point has another length
};

class HnswInsertPlain : public ::testing::TestWithParam<InsertCase> {};

// Then some points move: re-inserting one replaces its node, and lists that hold its slot
// keep it, though selection around them may now keep other links.
TEST_P(HnswInsertPlain, LinksMatchThePlainSelection) {
  const InsertCase& c = GetParam();
  std::mt19937 random(static_cast<unsigned>(c.dimension * 100 + c.m));
  std::vector<std::vector<float>> values = c.clustered ? clustered(random, 150, c.dimension, 4, 0.2f)
                                                       : clustered(random, 150, c.dimension, 150, 1.0f);
  if (c.odd_length) values[40].resize(c.dimension - 2);
  PointTable points;
  HNSWIndex index;
  index.m = c.m;
  index.ef_construction = 1000;
  std::vector<std::vector<Slot>> expected(values.size());
  auto insert = [&](PointId id) {
    const Slot slot = store(points, id, values[id]);
    std::vector<Slot> graph(reachable_or_empty(index));
    expected[slot] = plain_selection(points, by_distance(points, slot, graph), 2 * c.m, slot);
    for (Slot linked : expected[slot]) {
      std::vector<Slot>& list = expected[linked];
      if (std::find(list.begin(), list.end(), slot) != list.end()) continue;
      list.push_back(slot);
      if (list.size() > 2 * c.m) list = plain_selection(points, by_distance(points, linked, list), 2 * c.m, linked);
    }
    index.insert_at_level(slot, points, 0);
    for (Slot node = 0; node < points.slot_count(); ++node) {
      std::span<const Slot> list = index.neighbors(node, 0);
      ASSERT_EQ(std::vector<Slot>(list.begin(), list.end()), expected[node]) << "node " << node << " after " << id;
    }
  };
  for (PointId id = 0; id < values.size(); ++id) {
    insert(id);
  }
  for (int moves = 0; moves < 30; ++moves) {
    const PointId id = random() % values.size();
    const std::vector<float> target = values[random() % values.size()];
    for (std::size_t d = 0; d < values[id].size() && d < target.size(); ++d) {
      values[id][d] = 0.5f * (values[id][d] + target[d]);
    }
    insert(id);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, HnswInsertPlain,
    ::testing::Values(InsertCase{"narrow_pruned_often", 13, 2, true, false},
                      InsertCase{"spread_out", 128, 8, false, false},
                      InsertCase{"clustered", 128, 8, true, false},
                      InsertCase{"wide_several_blocks", 300, 40, false, false},
                      InsertCase{"clustered_several_blocks", 300, 40, true, false},
                      InsertCase{"mixed_lengths", 13, 4, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// With slack, a kept link drops a candidate only when it is nearer to it than the base's
// distance divided by the slack; on every path of the selection (blocks and closing up for
// vectors of one length, pairs for mixed lengths).
TEST(NeighborSelection, SlackMatchesThePlainRule) {
  for (const bool odd_length : {false, true}) {
    std::mt19937 random(odd_length ? 3 : 4);
    std::vector<std::vector<float>> values = clustered(random, 300, 24, 5, 0.4f);
    if (odd_length) values[7].resize(22);
    PointTable points;
    std::vector<Slot> slots;
    for (PointId id = 0; id < values.size(); ++id) slots.push_back(store(points, id, values[id]));
    std::size_t slack_changed = 0;
    for (Slot base = 0; base < 30; ++base) {
      const std::vector<std::pair<float, Slot>> sorted = by_distance(points, base, slots);
      std::vector<detail::Entry> entries;
      for (std::size_t i = 0; i < sorted.size(); ++i) {
        entries.push_back(detail::Entry{(std::uint64_t{distance_order(sorted[i].first)} << 32) | i, sorted[i].first, sorted[i].second});
      }
      std::vector<Slot> strict;
      for (const float slack : {1.0f, 1.1f, 1.5f}) {
        detail::SelectionScratch scratch;
        std::vector<Slot> out;
        detail::select_neighbors(entries, 16, base, points, out, scratch, slack);
        EXPECT_EQ(out, plain_selection(points, sorted, 16, base, slack)) << "base " << base << " slack " << slack;
        if (slack == 1.0f) strict = out;
        slack_changed += out != strict;
      }
    }
    EXPECT_GT(slack_changed, 30u);
  }
}

class HnswSearch : public ::testing::Test {
 protected:
  void build(std::size_t count, std::size_t dimension) {
    std::mt19937 random(5);
    const char* tenants[] = {"a", "b", "a", "c", "b"};
    std::size_t i = 0;
    for (auto& values : clustered(random, count, dimension, 25, 0.3f)) {
      Slot slot = store(points, i, values, tenant_payload(tenants[i % 5]));
      index.insert_at_level(slot, points, repeatable_level(random));
      ++i;
    }
  }
  PointTable points;
  HNSWIndex index;
};

TEST_F(HnswSearch, RecallAtTenAgainstBruteForce) {
  build(4000, 32);
  std::mt19937 random(9);
  std::size_t hits = 0, total = 0;
  for (int q = 0; q < 200; ++q) {
    std::vector<float> values = random_vector(random, 32);
    std::span<const float> near = points.vector(random() % 4000);
    for (std::size_t d = 0; d < 32; ++d) values[d] = near[d] + 0.2f * values[d];
    std::vector<Slot> truth = brute_force(points, values, 10);
    std::vector<Candidate> found = index.search(make_query(values), 32, points, NO_TENANT);
    std::set<Slot> top;
    for (std::size_t i = 0; i < std::min<std::size_t>(10, found.size()); ++i) top.insert(found[i].slot);
    for (Slot slot : truth) hits += top.count(slot);
    total += truth.size();
  }
  EXPECT_GE(static_cast<double>(hits) / total, 0.95);
}

TEST_F(HnswSearch, ReturnsBoundEntriesInDistanceOrder) {
  build(1000, 16);
  std::mt19937 random(10);
  for (std::uint64_t bound : {std::uint64_t{1}, std::uint64_t{32}, std::uint64_t{200}, std::uint64_t{999},
                              std::uint64_t{5000}, UINT64_MAX}) {
    std::vector<float> values = random_vector(random, 16);
    std::vector<Candidate> found = index.search(make_query(values), bound, points, NO_TENANT);
    ASSERT_EQ(found.size(), std::min<std::uint64_t>(bound, 1000));
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].distance, cosine_distance(values, points.vector(found[i].slot)));
      if (i > 0) {
        EXPECT_LE(found[i - 1].distance, found[i].distance);
      }
    }
    if (bound >= 1000) {
      EXPECT_EQ(found[0].slot, brute_force(points, values, 1)[0]);
    }
  }
}

TEST_F(HnswSearch, TenantSearchKeepsOnlyTheTenantsPoints) {
  build(3000, 16);
  std::mt19937 random(12);
  for (const char* name : {"a", "b", "c"}) {
    TenantRef tenant = *points.tenant(name);
    std::size_t hits = 0;
    for (int q = 0; q < 20; ++q) {
      std::vector<float> values = random_vector(random, 16);
      std::vector<Candidate> found = index.search(make_query(values), 32, points, tenant);
      ASSERT_EQ(found.size(), 32u);
      for (const Candidate& entry : found) EXPECT_EQ(points.tenant_of(entry.slot), tenant);
      std::set<Slot> top;
      for (std::size_t i = 0; i < 10; ++i) top.insert(found[i].slot);
      for (Slot slot : brute_force(points, values, 10, tenant)) hits += top.count(slot);
    }
    EXPECT_GE(hits, 180u) << "tenant " << name;  // recall@10 of at least 0.9
  }
}

// The bottom-layer search written the plain way: lists kept in order by stable sorts, a
// set for visited nodes, NaN after every number.
std::vector<Candidate> plain_search(const HNSWIndex& index, const PointTable& points, std::span<const float> query,
                                    std::uint64_t bound, TenantRef tenant) {
  auto less = [](float a, float b) { return !std::isnan(a) && (std::isnan(b) || a < b); };
  auto by_distance = [&](const Candidate& a, const Candidate& b) { return less(a.distance, b.distance); };
  auto accept = [&](Slot slot) { return tenant == NO_TENANT || points.tenant_of(slot) == tenant; };
  Slot entry = *index.entry_point;
  for (std::uint64_t layer = std::min<std::uint64_t>(index.max_level, 15); layer >= 1; --layer) {
    entry = index.search_layer(make_query(query), entry, layer, points);
  }
  if (!points.has_point(entry)) return {};
  const float seed = cosine_distance(query, points.vector(entry));
  std::set<Slot> visited{entry};
  std::vector<Candidate> candidates{{seed, entry}}, results;
  if (accept(entry)) results.push_back({seed, entry});
  while (!candidates.empty()) {
    std::stable_sort(candidates.begin(), candidates.end(), by_distance);
    const Slot current = candidates.front().slot;
    candidates.erase(candidates.begin());
    float worst = results.empty() ? MAX_DISTANCE : results[0].distance;
    for (const Candidate& r : results) worst = less(worst, r.distance) ? r.distance : worst;
    if (!index.has_node(current)) continue;
    for (Slot x : index.neighbors(current, 0)) {
      if (!visited.insert(x).second || !points.has_point(x)) continue;
      const float d = cosine_distance(query, points.vector(x));
      if (!(less(d, worst) || results.size() < bound)) continue;
      candidates.push_back({d, x});
      if (!accept(x)) continue;
      results.push_back({d, x});
      if (results.size() > bound) {
        std::stable_sort(results.begin(), results.end(), by_distance);
        results.pop_back();
      }
    }
  }
  std::stable_sort(results.begin(), results.end(), by_distance);
  return results;
}

// Many equal vectors (ties everywhere), NaN vectors and three tenants on a sparse graph.
TEST(HnswSearchOrder, MatchesThePlainSearchExactly) {
  std::mt19937 random(21);
  std::vector<std::vector<float>> shapes;
  for (int i = 0; i < 12; ++i) shapes.push_back(random_vector(random, 6));
  shapes.push_back({NaN, 1, 1, 1, 1, 1});
  PointTable points;
  HNSWIndex index;
  index.m = 3;
  index.ef_construction = 8;
  for (PointId id = 0; id < 1500; ++id) {
    Slot slot = store(points, id, shapes[random() % shapes.size()], tenant_payload(std::to_string(id % 3)));
    index.insert_at_level(slot, points, repeatable_level(random));
  }
  for (int q = 0; q < 30; ++q) {
    std::vector<float> query = q % 5 == 0 ? shapes[random() % shapes.size()] : random_vector(random, 6);
    for (std::uint64_t bound : {0, 1, 7, 32, 2000}) {
      for (TenantRef tenant : {NO_TENANT, *points.tenant("1")}) {
        std::vector<Candidate> fast = index.search(make_query(query), bound, points, tenant);
        std::vector<Candidate> plain = plain_search(index, points, query, bound, tenant);
        ASSERT_EQ(fast.size(), plain.size()) << "query " << q << " bound " << bound;
        for (std::size_t i = 0; i < fast.size(); ++i) {
          EXPECT_EQ(fast[i].slot, plain[i].slot) << "query " << q << " bound " << bound << " rank " << i;
          EXPECT_EQ(std::bit_cast<std::uint32_t>(fast[i].distance), std::bit_cast<std::uint32_t>(plain[i].distance));
        }
      }
    }
  }
}

// A star around slot 0 with two equal points, a NaN point and a point of another tenant
// that is the only way to reach slot 5.
class HnswStar : public ::testing::Test {
 protected:
  void SetUp() override {
    store(points, 0, {0.0f, 1.0f}, tenant_payload("x"));
    store(points, 1, {1.0f, 0.2f}, tenant_payload("x"));
    store(points, 2, {1.0f, 0.2f}, tenant_payload("x"));
    store(points, 3, {NaN, 1.0f}, tenant_payload("x"));
    store(points, 4, {1.0f, 0.5f}, tenant_payload("y"));
    store(points, 5, {1.0f, 0.8f}, tenant_payload("x"));
    index.set_node(0, HNSWNode{0, {2, 1, 3, 4}, {}}, points);
    index.set_node(4, HNSWNode{4, {5}, {}}, points);
    index.entry_point = 0;
  }
  std::vector<Slot> slots(std::uint64_t bound, TenantRef tenant) {
    std::vector<Slot> found;
    for (const Candidate& entry : index.search(make_query(query), bound, points, tenant)) found.push_back(entry.slot);
    return found;
  }
  std::vector<float> query{1.0f, 0.0f};
  PointTable points;
  HNSWIndex index;
};

TEST_F(HnswStar, EqualDistancesKeepArrivalOrderAndNaNComesLast) {
  EXPECT_EQ(slots(10, NO_TENANT), (std::vector<Slot>{2, 1, 4, 5, 0, 3}));
  // A full list admits nothing NaN and drops its worst.
  EXPECT_EQ(slots(2, NO_TENANT), (std::vector<Slot>{2, 1}));
}

TEST_F(HnswStar, TenantSearchPassesThroughOtherTenants) {
  EXPECT_EQ(slots(10, *points.tenant("x")), (std::vector<Slot>{2, 1, 5, 0, 3}));
  EXPECT_EQ(slots(10, *points.tenant("y")), (std::vector<Slot>{4}));
}

TEST_F(HnswStar, NoEntryPointOrPointlessEntryFindsNothing) {
  index.entry_point = *points.slot_for(99);
  EXPECT_TRUE(slots(10, NO_TENANT).empty());
  index.entry_point.reset();
  EXPECT_TRUE(slots(10, NO_TENANT).empty());
}

}  // namespace
}  // namespace tarnwick
