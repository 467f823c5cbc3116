// A load reads and decodes its file with no store lock held, so a long load of a large
// snapshot must not hold up searches: they go on against the old content and only wait for
// the swap itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/segment.hpp"
#include "storage/snapshot.hpp"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define SANITIZED_BUILD 1
#endif
#endif

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

#ifdef SANITIZED_BUILD
// Every access is many times slower and the runtime pauses threads on its own: a smaller
// file still lets the sanitizer check loads against searches, but the times mean nothing.
constexpr PointId LARGE_POINTS = 20'000;
constexpr bool BOUND_SEARCH_TIME = false;
#else
constexpr PointId LARGE_POINTS = 200'000;
constexpr bool BOUND_SEARCH_TIME = true;
#endif
constexpr int LOADS = 4;
// Every 2000th point belongs to a small tenant, so each search is a short exact scan in the
// old content and in the loaded one alike: its time is the lock wait and little else.
constexpr PointId PROBE_EVERY = 2000;

std::vector<float> small_vector(PointId id) {
  return {static_cast<float>(id % 7), 1.0f, static_cast<float>(id % 3), -1.0f};
}

Payload tenant(PointId id) {
  return Payload{{"tenant_id", Keyword{id % PROBE_EVERY == 0 ? "probe" : "bulk"}}};
}

// A snapshot file of many small points with payloads and no graph; built straight from a
// point table, since inserting them one by one would take far longer than the test.
std::string write_large_snapshot() {
  PointTable points;
  for (PointId id = 0; id < LARGE_POINTS; ++id) {
    points.insert(id, Point{id, small_vector(id), tenant(id)});
  }
  const std::string path = testing::TempDir() + "tarnwick-large-snapshot";
  std::ofstream(path, std::ios::binary) << encode_snapshot(points, HNSWIndex{});
  return path;
}

TEST(LoadWhileSearching, SearchesGoOnDuringALongLoad) {
  const std::string path = write_large_snapshot();
  Segment segment;
  for (PointId id = 0; id < 50 * PROBE_EVERY; id += PROBE_EVERY) {
    segment.upsert(id, small_vector(id), tenant(id));
  }

  std::atomic<bool> loading{true};
  std::vector<double> load_ms;
  std::thread loader([&] {
    for (int i = 0; i < LOADS; ++i) {
      const auto start = Clock::now();
      EXPECT_EQ(segment.load_from_disk(path), std::nullopt);
      load_ms.push_back(Milliseconds(Clock::now() - start).count());
    }
    loading = false;
  });

  const std::vector<float> query = small_vector(1);
  double longest_search_ms = 0;
  std::uint64_t searches = 0;
  while (loading.load()) {
    const auto start = Clock::now();
    const std::vector<ScoredPoint> found = segment.search(query, 5, Metric::Euclidean, "probe");
    longest_search_ms = std::max(longest_search_ms, Milliseconds(Clock::now() - start).count());
    ++searches;
    ASSERT_EQ(found.size(), 5u);
  }
  loader.join();
  std::remove(path.c_str());

  std::sort(load_ms.begin(), load_ms.end());
  const double median_load_ms = load_ms[LOADS / 2];
  std::printf("load while searching: %d loads of %llu points, median %.1f ms; %llu searches, "
              "longest %.2f ms\n",
              LOADS, static_cast<unsigned long long>(LARGE_POINTS), median_load_ms,
              static_cast<unsigned long long>(searches), longest_search_ms);
  EXPECT_EQ(segment.search(query, 1000, Metric::Euclidean, "probe").size(),
            LARGE_POINTS / PROBE_EVERY);
  // Generous, for a busy two-processor machine: a search that waited for a whole load
  // would take at least the load's time.
  if (BOUND_SEARCH_TIME) {
    EXPECT_LT(longest_search_ms, median_load_ms / 4);
  }
}

}  // namespace
}  // namespace tarnwick
