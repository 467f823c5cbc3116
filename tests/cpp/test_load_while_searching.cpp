// A load reads and decodes its file with no store lock held, so a load that waits for its
// bytes must not hold up searches or writes: they go on against the old content and only wait
// for the swap itself. The file is a named pipe, so the load stays inside its read for exactly
// as long as the test wants, however fast or slow the machine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "storage/segment.hpp"
#include "storage/snapshot.hpp"
#include "watchdog.hpp"

namespace tarnwick {
namespace {

constexpr PointId LARGE_POINTS = 20'000;
constexpr int LOADS = 3;
constexpr int CALLS_WHILE_WAITING = 200;
// Every 2000th point belongs to a small tenant, so each search is a short exact scan in the
// old content and in the loaded one alike.
constexpr PointId PROBE_EVERY = 2000;
constexpr PointId OLD_PROBES = 50;

std::vector<float> small_vector(PointId id) {
  return {static_cast<float>(id % 7), 1.0f, static_cast<float>(id % 3), -1.0f};
}

Payload tenant(PointId id) {
  return Payload{{"tenant_id", Keyword{id % PROBE_EVERY == 0 ? "probe" : "bulk"}}};
}

// A snapshot of many small points with payloads and no graph; built straight from a point
// table, since inserting them one by one would take far longer than the test.
std::string large_snapshot() {
  PointTable points;
  for (PointId id = 0; id < LARGE_POINTS; ++id) {
    points.insert(id, Point{id, small_vector(id), tenant(id)});
  }
  return encode_snapshot(points, HNSWIndex{});
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

TEST(LoadWhileSearching, SearchesAndWritesGoOnWhileALoadWaitsForItsFile) {
  Watchdog watchdog("LoadWhileSearching");
  const std::string bytes = large_snapshot();
  const std::string pipe = testing::TempDir() + "tarnwick-load-pipe-" + std::to_string(::getpid());
  ::unlink(pipe.c_str());
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

  Segment segment;
  for (PointId id = 0; id < OLD_PROBES * PROBE_EVERY; id += PROBE_EVERY) {
    segment.upsert(id, small_vector(id), tenant(id));
  }
  const std::vector<float> query = small_vector(1);
  PointId probes = OLD_PROBES;
  for (int round = 0; round < LOADS; ++round) {
    std::atomic<bool> loaded{false};
    std::optional<std::string> failure;
    std::jthread loader([&] {
      failure = segment.load_from_disk(pipe);
      loaded = true;
    });
    // Opening the pipe for writing returns once the loader has opened it for reading: from
    // here on the load sits in its read until the bytes arrive.
    const int fd = ::open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_NE(fd, -1);
    for (int call = 0; call < CALLS_WHILE_WAITING; ++call) {
      EXPECT_EQ(segment.search(query, 5, Metric::Euclidean, "probe").size(), 5u);
    }
    // A probe id held by neither the old content nor the loaded one.
    const PointId extra = 1000 * PROBE_EVERY + static_cast<PointId>(round) * PROBE_EVERY;
    segment.upsert(extra, small_vector(extra), tenant(extra));
    EXPECT_EQ(segment.search(query, 1000, Metric::Euclidean, "probe").size(), probes + 1);
    EXPECT_FALSE(loaded.load());

    EXPECT_TRUE(write_all(fd, bytes));
    ::close(fd);
    // Searches go on while the load decodes, and find one content or the other.
    std::uint64_t searches = 0;
    while (!loaded.load()) {
      EXPECT_EQ(segment.search(query, 5, Metric::Euclidean, "probe").size(), 5u);
      ++searches;
    }
    loader.join();
    EXPECT_EQ(failure, std::nullopt);
    std::printf("load while searching: round %d, %llu searches while %llu points decoded\n", round,
                static_cast<unsigned long long>(searches),
                static_cast<unsigned long long>(LARGE_POINTS));
    // The loaded content replaced everything, the point written meanwhile included.
    probes = LARGE_POINTS / PROBE_EVERY;
    EXPECT_EQ(segment.search(query, 1000, Metric::Euclidean, "probe").size(), probes);
  }
  ::unlink(pipe.c_str());
}

}  // namespace
}  // namespace tarnwick
