#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "index/hnsw.hpp"
#include "storage/segment.hpp"
#include "threaded_for.hpp"

namespace tarnwick {
namespace {

std::vector<float> clustered_vector(std::mt19937& random, std::size_t dimension) {
  // Eight fixed centres, and a spread that keeps neighbours close.
  std::normal_distribution<float> normal;
  const std::uint32_t centre = random() % 8;
  std::vector<float> values(dimension);
  for (std::size_t d = 0; d < dimension; ++d) {
    values[d] = static_cast<float>((centre * 2654435761u >> d % 31) % 7) + 2.0f * normal(random);
  }
  return values;
}

// A point table and graph driven together, as a store drives them.
struct Graph {
  PointTable points;
  HNSWIndex index;
  std::set<PointId> live;
  std::mt19937 random_{11};  // repeatable levels
  std::size_t removed = 0;
  std::size_t stranded = 0;

  // Real threads unless a test asks for one.
  HNSWIndex::ParallelFor parallel_for = [](std::size_t count, const std::function<void(std::size_t)>& task) {
    threaded_for(count, task, 3);
  };

  explicit Graph(std::uint64_t m) { index.m = m; }

  // Many at once, the rounds' tasks on real threads.
  void upsert_many(std::span<const PointId> ids, std::mt19937& random) {
    std::vector<Slot> slots;
    std::vector<std::uint64_t> levels;
    for (PointId id : ids) {
      const Slot slot = *points.insert(id, Point{id, clustered_vector(random, 16), std::nullopt});
      if (std::find(slots.begin(), slots.end(), slot) == slots.end()) {
        slots.push_back(slot);
        levels.push_back(random() % 3);
      }
      live.insert(id);
    }
    std::atomic<std::size_t> done{0};
    index.insert_many(slots, levels, points, [](std::size_t count, const std::function<void(std::size_t)>& task) {
      threaded_for(count, task, 3);
    }, done);
  }

  void upsert(PointId id, std::vector<float> values) {
    const Slot slot = *points.insert(id, Point{id, std::move(values), std::nullopt});
    const double u = (random_() + 1.0) / 4294967297.0;
    index.insert_at_level(slot, points, static_cast<std::uint64_t>(-std::log(u) / std::log(std::max<double>(index.m, 2))));
    live.insert(id);
  }
  // Removes, counting the nodes reachable before that no longer are. Insertion's own
  // pruning may strand a node too; removal relinks the nodes it leaves without a way in,
  // but a few nodes that link only one another can still be cut off.
  std::size_t remove(std::span<const PointId> ids) {
    const std::set<PointId> before = reachable();
    std::vector<Slot> doomed;
    for (PointId id : ids) {
      if (live.count(id) != 0) {
        doomed.push_back(*points.find(id));
        live.erase(id);
      }
    }
    std::sort(doomed.begin(), doomed.end());
    doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
    index.remove(doomed, points, parallel_for);
    for (Slot slot : doomed) {
      points.erase(points.key(slot));
    }
    const std::set<PointId> after = reachable();
    for (PointId id : before) {
      stranded += live.count(id) != 0 && after.count(id) == 0;
    }
    removed += doomed.size();
    return doomed.size();
  }

  // The ids reachable from the entry point over layer-0 links.
  std::set<PointId> reachable() const {
    std::set<PointId> seen;
    if (!index.entry_point) return seen;
    std::vector<Slot> stack{*index.entry_point};
    seen.insert(points.key(*index.entry_point));
    while (!stack.empty()) {
      const Slot slot = stack.back();
      stack.pop_back();
      for (Slot next : index.neighbors(slot, 0)) {
        if (seen.insert(points.key(next)).second) stack.push_back(next);
      }
    }
    return seen;
  }

  // Caps, no self-links, no link to a removed point, a valid entry point.
  void check() const {
    ASSERT_EQ(index.node_count(), live.size());
    ASSERT_EQ(points.size(), live.size());
    if (live.empty()) {
      EXPECT_FALSE(index.entry_point);
      EXPECT_EQ(index.max_level, 0u);
      return;
    }
    ASSERT_TRUE(index.entry_point);
    ASSERT_TRUE(index.has_node(*index.entry_point));
    for (PointId id : live) {
      const Slot slot = *points.find(id);
      ASSERT_TRUE(index.has_node(slot)) << id;
      for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
        std::span<const Slot> list = index.neighbors(slot, layer);
        EXPECT_LE(list.size(), layer == 0 ? 2 * index.m : index.m);
        if (layer > index.max_level) {
          EXPECT_TRUE(list.empty());
        }
        for (Slot linked : list) {
          ASSERT_NE(linked, slot);
          ASSERT_TRUE(linked < points.slot_count() && points.has_point(linked) && index.has_node(linked));
        }
      }
    }
  }
};

// Random mixes of upserts (new and repeated ids), single and batched removals, with the
// graph checked after each step of a few hundred.
class RemovalMix : public testing::TestWithParam<std::uint64_t> {};

TEST_P(RemovalMix, KeepsEveryGraphInvariant) {
  std::mt19937 random(static_cast<std::uint32_t>(GetParam() * 7919));
  Graph graph(GetParam());
  for (int step = 0; step < 1000; ++step) {
    if (step == 500) {  // insertions enough to outlast the in-link index, then removals again
      for (int i = 0; i < 1100; ++i) graph.upsert(random() % 1200, clustered_vector(random, 16));
    }
    const std::uint32_t action = random() % 11;
    if (action == 10) {
      std::vector<PointId> ids(random() % 300);
      for (PointId& id : ids) id = random() % 1200;
      graph.upsert_many(ids, random);
    } else if (action < 6) {
      graph.upsert(random() % 1200, clustered_vector(random, 16));
    } else if (action < 9) {
      const PointId id = random() % 1200;
      graph.remove(std::span(&id, 1));
    } else {
      std::vector<PointId> ids(random() % 40);
      for (PointId& id : ids) id = random() % 1200;
      graph.remove(ids);
    }
    if (step % 25 == 0) {
      graph.check();
      if (HasFatalFailure()) return;
    }
  }
  graph.check();
  // Sparse graphs (m below 4) are left out: there, many nodes link only one another.
  if (graph.index.m >= 4) {
    EXPECT_LE(graph.stranded * 100, graph.removed) << graph.stranded << " of " << graph.removed;
  }
  const std::vector<PointId> rest(graph.live.begin(), graph.live.end());
  EXPECT_EQ(graph.remove(rest), rest.size());
  graph.check();
}

INSTANTIATE_TEST_SUITE_P(LinkCaps, RemovalMix, testing::Values(1, 4, 16));

// Insertion's pruning strands nodes of a sparse graph, and removals can leave a few that only
// link one another: a removal of a sixteenth of the graph sweeps them all back in. (With m 1
// or 2, lists of two or four links cannot always take them.)
class Reconnection : public testing::TestWithParam<std::uint64_t> {};

TEST_P(Reconnection, EveryNodeIsReachableAfterASweep) {
  std::mt19937 random(static_cast<std::uint32_t>(GetParam()));
  Graph graph(GetParam());
  for (PointId id = 0; id < 4000; ++id) graph.upsert(id, clustered_vector(random, 16));
  if (GetParam() <= 4) {  // the sweep has something to do
    ASSERT_LT(graph.reachable().size(), graph.live.size());
  }
  std::vector<PointId> doomed;
  for (PointId id = 0; id < 4000; id += 13) doomed.push_back(id);
  graph.remove(doomed);
  graph.check();
  EXPECT_EQ(graph.reachable().size(), graph.live.size());
}

INSTANTIATE_TEST_SUITE_P(LinkCaps, Reconnection, testing::Values(3, 4, 16));

// A search's layer-0 walk starts where the descent through the upper layers ends, so the
// entry point needs a way in too. These seeds (about one in a hundred) left it without one
// before the sweep saw to it: ten tight clusters, a graph with m 3, a tenth removed.
class EntryPointWayIn : public testing::TestWithParam<std::uint32_t> {};

TEST_P(EntryPointWayIn, SurvivesASweep) {
  std::mt19937 random(GetParam());
  Graph graph(3);
  graph.random_.seed(GetParam() + 100);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> centres(10, std::vector<float>(16));
  for (std::vector<float>& centre : centres) {
    for (float& value : centre) value = normal(random);
  }
  for (PointId id = 0; id < 3000; ++id) {
    std::vector<float> values = centres[random() % centres.size()];
    for (float& value : values) value += 0.3f * normal(random);
    graph.upsert(id, std::move(values));
  }
  std::vector<PointId> doomed;
  for (PointId id = 0; id < 3000; id += 10) doomed.push_back(id);
  graph.remove(doomed);
  const Slot entry = *graph.index.entry_point;
  EXPECT_TRUE(std::any_of(graph.live.begin(), graph.live.end(), [&](PointId id) {
    std::span<const Slot> list = graph.index.neighbors(*graph.points.find(id), 0);
    return std::find(list.begin(), list.end(), entry) != list.end();
  }));
}

INSTANTIATE_TEST_SUITE_P(Seeds, EntryPointWayIn, testing::Values(65u, 144u, 211u, 219u, 345u));

// Selection alone would shorten every repaired list, and a graph thinned that way by many
// single removals loses recall.
TEST(Removal, RepairedListsKeepTheirLength) {
  std::mt19937 random(9);
  Graph graph(8);
  for (PointId id = 0; id < 1500; ++id) graph.upsert(id, clustered_vector(random, 16));
  auto mean_degree = [&graph] {
    std::size_t links = 0;
    for (PointId id : graph.live) links += graph.index.neighbors(*graph.points.find(id), 0).size();
    return static_cast<double>(links) / static_cast<double>(graph.live.size());
  };
  const double before = mean_degree();
  for (PointId id = 0; id < 1500; id += 2) graph.remove(std::span(&id, 1));
  graph.check();
  EXPECT_GE(mean_degree(), 0.95 * before);
}

// Repairs chosen on several threads at once make the graph that one thread makes.
TEST(Removal, TheGraphDoesNotDependOnTheThreads) {
  Graph serial(8);
  Graph threaded(8);
  serial.parallel_for = [](std::size_t count, const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 0; i < count; ++i) task(i);
  };
  for (Graph* graph : {&serial, &threaded}) {
    std::mt19937 random(4);
    for (PointId id = 0; id < 1500; ++id) graph->upsert(id, clustered_vector(random, 16));
    for (PointId id = 0; id < 300; id += 3) graph->remove(std::span(&id, 1));
    std::vector<PointId> batch;
    for (PointId id = 301; id < 1500; id += 4) batch.push_back(id);
    graph->remove(batch);
  }
  ASSERT_EQ(serial.points.slot_count(), threaded.points.slot_count());
  ASSERT_EQ(serial.index.entry_point, threaded.index.entry_point);
  for (Slot slot = 0; slot < serial.points.slot_count(); ++slot) {
    ASSERT_EQ(serial.index.has_node(slot), threaded.index.has_node(slot));
    for (std::size_t layer = 0; layer < MAX_LAYERS && serial.index.has_node(slot); ++layer) {
      const std::span<const Slot> expected = serial.index.neighbors(slot, layer);
      const std::span<const Slot> got = threaded.index.neighbors(slot, layer);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), got.begin(), got.end())) << slot << " " << layer;
    }
  }
}

TEST(Removal, EntryPointLastPointRepeatsAndAbsentIds) {
  std::mt19937 random(3);
  Graph graph(4);
  for (PointId id = 0; id < 300; ++id) graph.upsert(id, clustered_vector(random, 16));
  graph.check();
  for (int round = 0; round < 20; ++round) {
    const PointId entry = graph.points.key(*graph.index.entry_point);
    EXPECT_EQ(graph.remove(std::vector<PointId>{entry, entry, 1000}), 1u);
    EXPECT_EQ(graph.remove(std::vector<PointId>{entry}), 0u);
    graph.check();
  }
  std::vector<PointId> rest(graph.live.begin(), graph.live.end());
  graph.remove(std::span(rest).subspan(1));
  graph.check();
  EXPECT_EQ(graph.index.max_level, 0u);
  graph.remove(std::span(rest).first(1));
  graph.check();
  // The freed slots are given out again, and the graph grows from them as a new one.
  for (PointId id = 500; id < 800; ++id) graph.upsert(id, clustered_vector(random, 16));
  EXPECT_EQ(graph.points.slot_count(), 300u);
  graph.check();
}

TEST(SegmentRemoval, SnapshotAfterRemovalsAnswersAsTheStoreDid) {
  std::mt19937 random(5);
  Segment segment;
  for (PointId id = 0; id < 1500; ++id) {
    segment.upsert(id, clustered_vector(random, 16), id % 3 ? std::optional<Payload>{} : Payload{{"tenant_id", Keyword{"t"}}});
  }
  std::vector<PointId> doomed;
  for (PointId id = 0; id < 1500; id += 2) doomed.push_back(id);
  EXPECT_EQ(segment.remove(std::span(doomed).first(300)), 300u);
  for (PointId id : std::span(doomed).subspan(300)) EXPECT_EQ(segment.remove(std::span(&id, 1)), 1u);
  Segment loaded;
  ASSERT_EQ(loaded.load_bytes(segment.encode()), std::nullopt);
  EXPECT_EQ(loaded.encode(), segment.encode());
  for (int q = 0; q < 50; ++q) {
    const std::vector<float> query = clustered_vector(random, 16);
    for (auto tenant : {std::optional<std::string_view>{}, std::optional<std::string_view>{"t"}}) {
      const auto expected = segment.search(query, 10, Metric::Cosine, tenant);
      const auto got = loaded.search(query, 10, Metric::Cosine, tenant);
      ASSERT_EQ(got.size(), expected.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id % 2, 1u);
        EXPECT_EQ(got[i].id, expected[i].id);
        EXPECT_EQ(got[i].score, expected[i].score);
      }
    }
  }
}

TEST(SegmentRemoval, AnEmptiedStoreSavesAsANewOne) {
  Segment segment;
  Segment fresh;
  std::mt19937 random(9);
  for (PointId id = 0; id < 600; ++id) segment.upsert(id, clustered_vector(random, 4), Payload{});
  std::vector<PointId> all(600);
  for (PointId id = 0; id < 600; ++id) all[id] = id;
  EXPECT_EQ(segment.remove(all), 600u);
  EXPECT_EQ(segment.encode(), fresh.encode());
  EXPECT_EQ(segment.remove(all), 0u);
  EXPECT_TRUE(segment.search(std::vector<float>{1, 2, 3, 4}, 5, Metric::Cosine, std::nullopt).empty());
}

}  // namespace
}  // namespace tarnwick
