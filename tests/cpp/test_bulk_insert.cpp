#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>

#include "core/distance.hpp"
#include "index/hnsw.hpp"
#include "kernel_switch.hpp"
#include "storage/segment.hpp"
#include "threaded_for.hpp"

namespace tarnwick {
namespace {

void threaded(std::size_t count, const std::function<void(std::size_t)>& task) {
  threaded_for(count, task, 4);
}

void serial(std::size_t count, const std::function<void(std::size_t)>& task) {
  for (std::size_t i = 0; i < count; ++i) task(i);
}

std::vector<std::vector<float>> clustered(std::size_t count, std::size_t dimension, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> centres(20, std::vector<float>(dimension));
  for (auto& centre : centres) for (float& value : centre) value = normal(random);
  std::vector<std::vector<float>> out(count, std::vector<float>(dimension));
  for (auto& point : out) {
    const auto& centre = centres[random() % centres.size()];
    for (std::size_t d = 0; d < dimension; ++d) point[d] = centre[d] + 0.4f * normal(random);
  }
  return out;
}

struct Built {
  PointTable points;
  HNSWIndex index;
};

// Builds from `data` at levels drawn from `seed`: the first `first` one at a time, the rest
// (with some of the first again, replaced) in one bulk insertion.
void build(Built& built, const std::vector<std::vector<float>>& data, std::size_t first,
           std::uint32_t seed, const HNSWIndex::ParallelFor& parallel_for) {
  std::mt19937 random(seed);
  auto level = [&] {
    const double u = (random() + 1.0) / 4294967297.0;
    return static_cast<std::uint64_t>(-std::log(u) / std::log(8.0));
  };
  built.index.m = 8;
  for (PointId id = 0; id < first; ++id) {
    built.index.insert_at_level(*built.points.insert(id, Point{id, data[id], std::nullopt}), built.points, level());
  }
  std::vector<Slot> slots;
  std::vector<std::uint64_t> levels;
  for (PointId id = first; id < data.size(); ++id) {
    const PointId key = id % 10 == 0 && id / 10 < first ? id / 10 : id;  // some replace stored points
    slots.push_back(*built.points.insert(key, Point{key, data[id], std::nullopt}));
    levels.push_back(level());
  }
  std::sort(slots.begin(), slots.end());
  std::atomic<std::size_t> done{0};
  built.index.insert_many(slots, levels, built.points, parallel_for, done);
  EXPECT_EQ(done.load(), slots.size());
}

// The graph a bulk insertion builds depends neither on the threads nor on the kernel, nor on
// whether bounds settle what they can in the walks.
TEST(BulkInsert, TheGraphDoesNotDependOnTheThreadsKernelOrPruning) {
  const auto data = clustered(5000, 12, 1);
  KernelGuard guard;
  Built one;
  build(one, data, 200, 7, serial);
  for (std::string_view kernel : kernels_here()) {
    for (const bool pruning : {false, true}) {
      SCOPED_TRACE(std::string(kernel) + (pruning ? " pruning" : " exact"));
      select_kernel(kernel);
      select_pruning(pruning);
      Built many;
      build(many, data, 200, 7, threaded);
      ASSERT_EQ(one.index.node_count(), many.index.node_count());
      EXPECT_EQ(one.index.entry_point, many.index.entry_point);
      EXPECT_EQ(one.index.max_level, many.index.max_level);
      for (Slot slot = 0; slot < one.points.slot_count(); ++slot) {
        ASSERT_EQ(one.index.has_node(slot), many.index.has_node(slot));
        for (std::size_t layer = 0; layer < MAX_LAYERS && one.index.has_node(slot); ++layer) {
          std::span<const Slot> a = one.index.neighbors(slot, layer);
          std::span<const Slot> b = many.index.neighbors(slot, layer);
          ASSERT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end())) << slot << " " << layer;
        }
      }
    }
  }
}

// The bulk walks settle by bound about as many neighbours as single insertions do.
TEST(BulkInsert, WalksDecideByBoundAsSingleInsertionsDo) {
  const auto data = clustered(5000, 12, 1);
  KernelGuard guard;
  select_pruning(true);
  take_bound_decisions();
  Built single;
  build(single, data, data.size(), 7, serial);
  const BoundDecisions one_at_a_time = take_bound_decisions();
  Built bulk;
  build(bulk, data, 0, 7, serial);
  EXPECT_GT(take_bound_decisions().by_bound, one_at_a_time.by_bound / 2);
}

// Recall of a bulk-built graph against exact answers stays near that of single insertions.
TEST(BulkInsert, FindsWhatSingleInsertionsFind) {
  const auto data = clustered(8000, 16, 2);
  const auto queries = clustered(100, 16, 3);
  Built single;
  Built bulk;
  build(single, data, data.size(), 5, serial);
  build(bulk, data, 0, 5, threaded);
  auto recall = [&](const Built& built) {
    std::size_t hits = 0;
    for (const auto& query : queries) {
      std::vector<std::pair<float, PointId>> all;
      for (Slot slot = 0; slot < built.points.slot_count(); ++slot) {
        all.emplace_back(cosine_distance(query, built.points.vector(slot)), built.points.key(slot));
      }
      std::partial_sort(all.begin(), all.begin() + 10, all.end());
      for (const Candidate& found : built.index.search(make_query(query), 32, built.points, NO_TENANT)) {
        for (int k = 0; k < 10; ++k) hits += all[k].second == built.points.key(found.slot);
      }
    }
    return static_cast<double>(hits) / (10.0 * queries.size());
  };
  EXPECT_GT(recall(bulk), recall(single) - 0.01);
}

TEST(SegmentBulk, LaterRepeatsWinAndEveryPointIsFound) {
  Segment segment;
  const auto data = clustered(3000, 8, 4);
  std::vector<PointId> ids;
  std::vector<std::vector<float>> vectors;
  for (PointId id = 0; id < 3000; ++id) {
    ids.push_back(id % 2500);
    vectors.push_back(data[id]);
  }
  std::atomic<std::size_t> done{0};
  EXPECT_EQ(segment.upsert_many(ids, vectors, std::vector<std::optional<Payload>>(3000), done),
            UpsertResult::Stored);
  EXPECT_EQ(done.load(), 2500u);
  EXPECT_EQ(segment.size(), 2500u);
  EXPECT_EQ(segment.get(10)->vector, data[2510]);
  EXPECT_EQ(segment.get(2400)->vector, data[2400]);
  std::size_t found = 0;
  for (PointId id = 0; id < 2500; id += 25) {
    const auto answer = segment.search(segment.get(id)->vector, 1, Metric::Cosine, std::nullopt);
    found += !answer.empty() && segment.get(answer[0].id)->vector == segment.get(id)->vector;
  }
  EXPECT_GE(found, 98u);
}

}  // namespace
}  // namespace tarnwick
