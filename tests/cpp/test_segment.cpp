#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include "storage/segment.hpp"
#include "storage/worker_pool.hpp"
#include "watchdog.hpp"

namespace tarnwick {
namespace {

std::vector<float> random_vector(std::mt19937& random, std::size_t dimension) {
  std::normal_distribution<float> normal;
  std::vector<float> values(dimension);
  for (float& value : values) value = normal(random);
  return values;
}

Payload tenant(std::string name) { return Payload{{"tenant_id", Keyword{std::move(name)}}}; }

std::set<PointId> ids_of(const std::vector<ScoredPoint>& found) {
  std::set<PointId> ids;
  for (const ScoredPoint& entry : found) ids.insert(entry.id);
  return ids;
}

TEST(Segment, RoutesByPopulation) {
  Segment segment;
  std::mt19937 random(1);
  for (PointId id = 0; id < 499; ++id) segment.upsert(id, random_vector(random, 8), std::nullopt);
  std::vector<float> zero(8, 0.0f);
  // The exact route leaves out what cosine cannot score; the graph route scores it -FLT_MAX.
  EXPECT_TRUE(segment.search(zero, 5, Metric::Cosine, std::nullopt).empty());
  segment.upsert(499, random_vector(random, 8), std::nullopt);
  auto found = segment.search(zero, 5, Metric::Cosine, std::nullopt);
  ASSERT_EQ(found.size(), 5u);
  EXPECT_EQ(found[0].score, -MAX_DISTANCE);
}

TEST(Segment, GraphRouteReturnsLimitBeyondEfSearch) {
  Segment segment;
  std::mt19937 random(2);
  for (PointId id = 0; id < 1000; ++id) segment.upsert(id, random_vector(random, 16), std::nullopt);
  for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{10}, std::uint64_t{100}, std::uint64_t{1000}}) {
    EXPECT_EQ(segment.search(random_vector(random, 16), limit, Metric::Euclidean, std::nullopt).size(), limit);
  }
  EXPECT_EQ(segment.search(random_vector(random, 16), UINT64_MAX, Metric::DotProduct, std::nullopt).size(), 1000u);
}

TEST(Segment, TenantSearchReturnsTheTenantsNearestPoints) {
  Segment segment;
  PointTable reference;  // the tenant "big" alone, for the exact answer
  std::mt19937 random(3);
  for (PointId id = 0; id < 3000; ++id) {
    std::string name = id % 10 == 0 ? "small" : id % 2 ? "big" : "other";
    std::vector<float> values = random_vector(random, 16);
    if (name == "big") reference.insert(id, Point{id, values, std::nullopt});
    segment.upsert(id, values, tenant(name));
  }
  double recall = 0;
  for (int query_index = 0; query_index < 50; ++query_index) {
    std::vector<float> query = random_vector(random, 16);
    auto found = segment.search(query, 10, Metric::Cosine, "big");
    ASSERT_EQ(found.size(), 10u);
    std::set<PointId> exact = ids_of(search_exact_knn(query, 10, Metric::Cosine, reference, NO_TENANT));
    for (PointId id : ids_of(found)) {
      ASSERT_EQ(id % 2, 1u);
      recall += exact.count(id) / 500.0;
    }
    // A tenant below the graph threshold is scanned exactly.
    for (const ScoredPoint& entry : segment.search(query, 600, Metric::Cosine, "small")) {
      ASSERT_EQ(entry.id % 10, 0u);
    }
    EXPECT_EQ(segment.search(query, 600, Metric::Cosine, "small").size(), 300u);
  }
  EXPECT_GE(recall, 0.9);
  EXPECT_TRUE(segment.search(random_vector(random, 16), 10, Metric::Cosine, "nobody").empty());
}

// Readers stream without pause, each holding the lock a little while so that holds overlap; a
// writer must still get in after a handful of reads, not wait until the readers stop. Should
// the readers pass READS_LIMIT reads while one writer waits, they stop, which lets the writer in
// and fails the test instead of hanging it.
TEST(RwLock, WaitingWriterHoldsBackNewReaders) {
  constexpr std::uint64_t NO_WRITER = UINT64_MAX;
  constexpr std::uint64_t READS_LIMIT = 100'000;  // over five seconds of reads: far beyond a few
  Watchdog watchdog("RwLock.WaitingWriterHoldsBackNewReaders");
  RwLock lock;
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> reads{0};
  std::atomic<std::uint64_t> writer_asked_at{NO_WRITER};  // reads done when the writer asked
  std::vector<std::jthread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        lock.lock_shared();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        lock.unlock_shared();
        reads.fetch_add(1);
        const std::uint64_t asked = writer_asked_at.load();
        if (asked != NO_WRITER && reads.load() - asked > READS_LIMIT) stop = true;
      }
    });
  }
  while (reads.load() < 100) std::this_thread::yield();  // the readers are streaming
  std::uint64_t most_reads_while_waiting = 0;
  for (int i = 0; i < 20 && !stop.load(); ++i) {
    const std::uint64_t asked = reads.load();
    writer_asked_at = asked;
    lock.lock();
    most_reads_while_waiting = std::max(most_reads_while_waiting, reads.load() - asked);
    lock.unlock();
    writer_asked_at = NO_WRITER;
  }
  stop = true;
  readers.clear();
  EXPECT_LE(most_reads_while_waiting, READS_LIMIT);
  std::printf("rwlock: at most %llu reads while a writer waited\n",
              static_cast<unsigned long long>(most_reads_while_waiting));
}

// Upserts, searches on both routes and batches on the worker pool, all on one segment.
TEST(SegmentConcurrency, MixedOperationsFromEightThreads) {
  Segment segment;
  constexpr PointId IDS = 1500;
  std::atomic<bool> failed{false};
  std::vector<std::jthread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(100 + t);
      for (int step = 0; step < 300; ++step) {
        PointId id = random() % IDS;
        if (t % 2 == 0) {
          segment.upsert(id, random_vector(random, 12), tenant(id % 2 ? "odd" : "even"));
          continue;
        }
        std::optional<std::string_view> name;
        if (t == 3) name = "odd";
        auto check = [&](const std::vector<ScoredPoint>& found) {
          for (std::size_t i = 0; i < found.size(); ++i) {
            if (found[i].id >= IDS || (name && found[i].id % 2 == 0) ||
                (i > 0 && found[i].score > found[i - 1].score)) {
              failed = true;
            }
          }
        };
        if (t == 7) {
          std::vector<std::vector<float>> queries(4, random_vector(random, 12));
          std::vector<std::vector<ScoredPoint>> answers(queries.size());
          WorkerPool::instance()->run(queries.size(), [&](std::size_t i) {
            answers[i] = segment.search(queries[i], 5, Metric::Cosine, name);
          });
          for (auto& answer : answers) check(answer);
        } else {
          check(segment.search(random_vector(random, 12), 10, Metric::DotProduct, name));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed);
}

}  // namespace
}  // namespace tarnwick
