// Cancelled saves, loads and batches stop without effect; a commit settles the race.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <set>
#include <thread>

#include "storage/cancel_token.hpp"
#include "storage/segment.hpp"
#include "storage/snapshot.hpp"
#include "storage/worker_pool.hpp"
#include "watchdog.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

void fill(Segment& segment, std::size_t count, std::size_t dimension) {
  std::mt19937 random(7);
  std::normal_distribution<float> normal;
  for (PointId id = 0; id < count; ++id) {
    std::vector<float> vector(dimension);
    for (float& value : vector) value = normal(random);
    segment.upsert(id, std::move(vector), std::nullopt);
  }
}

std::set<std::string> names_in(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

class Cancel : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarnwick-cancel-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST(CancelToken, FirstOfCancelAndCommitWins) {
  CancelToken cancelled;
  EXPECT_TRUE(cancelled.cancel());
  EXPECT_TRUE(cancelled.cancelled());
  EXPECT_FALSE(cancelled.commit());
  EXPECT_TRUE(cancelled.cancel());  // asking again does not change the outcome

  CancelToken committed;
  EXPECT_TRUE(committed.commit());
  EXPECT_FALSE(committed.cancel());
  EXPECT_FALSE(committed.cancelled());
}

TEST_F(Cancel, CancelledSaveLeavesTheTargetAndNoTemporaryFile) {
  Segment segment;
  fill(segment, 600, 8);
  { std::ofstream(path("target")) << "previous"; }
  CancelToken token;
  token.cancel();
  EXPECT_TRUE(segment.save_to_disk(path("target"), &token).has_value());
  EXPECT_EQ(names_in(dir_), std::set<std::string>{"target"});
  std::ifstream in(path("target"));
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "previous");

  CancelToken untouched;
  EXPECT_EQ(segment.save_to_disk(path("target"), &untouched), std::nullopt);
  EXPECT_FALSE(untouched.cancel());  // the save committed
}

TEST_F(Cancel, CancelledLoadLeavesTheStore) {
  Segment source;
  fill(source, 700, 4);
  ASSERT_EQ(source.save_to_disk(path("s")), std::nullopt);
  Segment target(GraphParameters{5, 6, 7});
  fill(target, 3, 2);
  CancelToken token;
  token.cancel();
  EXPECT_TRUE(target.load_from_disk(path("s"), &token).has_value());
  EXPECT_EQ(target.size(), 3u);
  EXPECT_EQ(target.graph_parameters().m, 5u);

  CancelToken untouched;
  EXPECT_EQ(target.load_from_disk(path("s"), &untouched), std::nullopt);
  EXPECT_EQ(target.size(), 700u);
  EXPECT_FALSE(untouched.cancel());
}

// A save to a FIFO waits for a reader without holding the store's locks, and a cancel stops
// the wait; with a reader, it gets the whole snapshot.
TEST_F(Cancel, SaveToAFifoWaitsForItsReaderAloneAndCanBeCancelled) {
  Watchdog watchdog("SaveToAFifo", std::chrono::seconds(120));
  Segment segment;
  fill(segment, 50, 8);
  const std::string pipe = path("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);

  CancelToken token;
  std::optional<std::string> failure;
  std::atomic<bool> done{false};
  std::jthread waiting([&] {
    failure = segment.save_to_disk(pipe, &token);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // so that the save waits first
  fill(segment, 60, 8);  // writers go on meanwhile
  EXPECT_FALSE(done.load());
  EXPECT_TRUE(token.cancel());
  waiting.join();
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find("cancelled"), std::string::npos) << *failure;

  std::jthread saving([&] { failure = segment.save_to_disk(pipe); });
  const int fd = ::open(pipe.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(fd, -1);
  std::string bytes;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  saving.join();
  EXPECT_EQ(failure, std::nullopt);
  auto decoded = decode_snapshot(bytes);
  ASSERT_TRUE(std::holds_alternative<Snapshot>(decoded));
  EXPECT_EQ(std::get<Snapshot>(decoded).points.size(), 60u);
}

TEST(CancelWork, CancelledDecodeAndEncodeStopEarly) {
  Segment segment;
  fill(segment, 10000, 4);
  const std::string bytes = segment.encode();
  CancelToken token;
  token.cancel();
  const auto decoded = decode_snapshot(bytes, &token);
  ASSERT_TRUE(std::holds_alternative<SnapshotDecodeError>(decoded));
  EXPECT_EQ(std::get<SnapshotDecodeError>(decoded), SnapshotDecodeError::Cancelled);
  const auto full = decode_snapshot(bytes);
  ASSERT_TRUE(std::holds_alternative<Snapshot>(full));
  const Snapshot& snapshot = std::get<Snapshot>(full);
  EXPECT_LT(encode_snapshot(snapshot.points, snapshot.index, &token).size(), bytes.size() / 100);
}

TEST(CancelWork, DimensionedStoreRefusesOtherLengthsOnLoad) {
  Segment mixed;
  fill(mixed, 3, 4);
  mixed.upsert(9, {1.0f}, std::nullopt);
  Segment fixed(GraphParameters{}, 4);
  fill(fixed, 2, 4);
  const auto failure = fixed.load_bytes(mixed.encode());
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, "a stored vector has 1 floats, the store expects 4");
  EXPECT_EQ(fixed.size(), 2u);
}

TEST(CancelWork, InterruptedBatchLeavesOutPositionsNotBegun) {
  WorkerPool* pool = WorkerPool::instance();
  ASSERT_NE(pool, nullptr);
  constexpr std::size_t COUNT = 100000;
  std::atomic<std::size_t> ran{0};
  std::atomic<int> asked{0};
  const bool complete = pool->run(
      COUNT,
      [&](std::size_t) {
        ran.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      },
      [&] { return asked.fetch_add(1) == 1; });  // the second look says stop
  EXPECT_FALSE(complete);
  EXPECT_EQ(asked.load(), 2);  // never asked again once stopped
  EXPECT_LT(ran.load(), COUNT);
  EXPECT_GT(ran.load(), 0u);

  std::atomic<std::size_t> all{0};
  EXPECT_TRUE(pool->run(1000, [&](std::size_t) { all.fetch_add(1); }, [] { return false; }));
  EXPECT_EQ(all.load(), 1000u);
}

// A task that throws (std::bad_alloc, in practice) on a worker or on the calling thread: the
// batch stops handing out positions, run throws it once the ones under way are done, and the
// pool goes on answering.
class ThrowingTask : public ::testing::TestWithParam<bool> {};

TEST_P(ThrowingTask, StopsTheBatchAndIsThrownToTheCaller) {
  const bool on_caller = GetParam();
  WorkerPool* pool = WorkerPool::instance();
  ASSERT_NE(pool, nullptr);
  if (!on_caller && pool->size() < 2) {
    GTEST_SKIP() << "no worker thread";
  }
  constexpr std::size_t COUNT = 100000;
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<std::size_t> ran{0};
  auto task = [&](std::size_t position) {
    ran.fetch_add(1);
    if (position >= 100 && (std::this_thread::get_id() == caller) == on_caller) {
      throw std::bad_alloc();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  };
  EXPECT_THROW(pool->run(COUNT, task), std::bad_alloc);
  EXPECT_LT(ran.load(), COUNT);

  std::atomic<std::size_t> all{0};
  pool->run(1000, [&](std::size_t) { all.fetch_add(1); });
  EXPECT_EQ(all.load(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Thread, ThrowingTask, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Caller" : "Worker"; });

}  // namespace
}  // namespace tarnwick
