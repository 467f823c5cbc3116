// Eight threads on one segment at once: upserts, searches on the exact and the graph route,
// batches on the worker pool, saves to memory and load-swaps. Every answer is checked against
// the vectors that could have been stored under its identifiers, every saved state must hold
// a node for each point, and a watchdog ends the process if a thread stops making progress.
//
// TARNWICK_STRESS_SECONDS sets how long the threads run (default 2); scripts/test-all runs a
// long round under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "storage/segment.hpp"
#include "storage/snapshot.hpp"
#include "storage/worker_pool.hpp"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t DIMENSION = 8;
constexpr PointId IDS = 2000;
constexpr std::uint64_t VERSIONS = 4;
constexpr PointId PREFILLED = 1000;  // enough for the graph route from the start
constexpr PointId SMALL_STORE = 300; // a snapshot small enough for the exact route
constexpr int THREADS = 8;
// A thread whose counter stands still this long is stuck in a call.
constexpr auto STALL_LIMIT = std::chrono::seconds(30);
// Readers stream all the time; a writer must still get in within this.
constexpr auto WRITER_WAIT_LIMIT = std::chrono::seconds(2);

double stress_seconds() {
  const char* text = std::getenv("TARNWICK_STRESS_SECONDS");
  const double seconds = text == nullptr ? 0.0 : std::strtod(text, nullptr);
  return seconds > 0.0 ? seconds : 2.0;
}

// The vector that version `version` of point `id` carries: a hash of the two, so a returned
// score can be recomputed from the identifier alone.
std::vector<float> vector_for(PointId id, std::uint64_t version) {
  std::mt19937_64 random(id * VERSIONS + version);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(DIMENSION);
  for (float& value : values) value = uniform(random);
  return values;
}

// Tenth identifiers form a tenant small enough for the exact route.
std::string tenant_name(PointId id) { return id % 10 == 0 ? "small" : id % 2 ? "odd" : "even"; }

Payload payload_for(PointId id) { return Payload{{"tenant_id", Keyword{tenant_name(id)}}}; }

bool scores_match(Metric metric, std::span<const float> query, PointId id, float score) {
  for (std::uint64_t version = 0; version < VERSIONS; ++version) {
    const std::vector<float> stored = vector_for(id, version);
    switch (metric) {
      case Metric::DotProduct:
        if (dot_product(query, stored).value == score) return true;
        break;
      case Metric::Euclidean:
        if (euclidean_distance(query, stored).value == score) return true;
        break;
      case Metric::Cosine:
        // The graph route scores from its own cosine distance: the same value, rounded twice.
        if (std::fabs(cosine_similarity(query, stored).value - score) <= 1e-5f) return true;
        break;
    }
  }
  return false;
}

// The first problem found in an answer, or an empty string.
std::string check_answer(const std::vector<ScoredPoint>& found, std::span<const float> query,
                         std::uint64_t limit, Metric metric,
                         std::optional<std::string_view> tenant) {
  if (found.size() > limit) return "more results than the limit";
  std::set<PointId> seen;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const ScoredPoint& entry = found[i];
    if (entry.id >= IDS) return "unknown identifier " + std::to_string(entry.id);
    if (!seen.insert(entry.id).second) return "identifier twice: " + std::to_string(entry.id);
    if (tenant && tenant_name(entry.id) != *tenant) return "point of another tenant";
    if (!scores_match(metric, query, entry.id, entry.score)) {
      return "score of " + std::to_string(entry.id) + " matches none of its vectors";
    }
    if (i > 0 && score_precedes(metric, entry.score, found[i - 1].score)) return "out of order";
  }
  return {};
}

// The first problem in a saved state: a point with a vector it never had, or without a node.
std::string check_snapshot(const std::string& bytes) {
  auto decoded = decode_snapshot(bytes);
  if (std::holds_alternative<SnapshotDecodeError>(decoded)) return "a saved state does not decode";
  const Snapshot& snapshot = std::get<Snapshot>(decoded);
  for (Slot slot = 0; slot < snapshot.points.slot_count(); ++slot) {
    if (!snapshot.points.has_point(slot)) continue;
    const PointId id = snapshot.points.point_id(slot);
    const std::span<const float> stored = snapshot.points.vector(slot);
    bool known = false;
    for (std::uint64_t version = 0; version < VERSIONS && !known; ++version) {
      const std::vector<float> expected = vector_for(id, version);
      known = std::equal(stored.begin(), stored.end(), expected.begin(), expected.end());
    }
    if (id >= IDS || !known) return "a saved point holds a vector never written for it";
    if (!snapshot.index.has_node(slot)) return "a saved point has no graph node";
  }
  return {};
}

struct Figures {
  std::atomic<std::uint64_t> upserts{0};
  std::atomic<std::uint64_t> searches{0};
  std::atomic<std::uint64_t> batches{0};
  std::atomic<std::uint64_t> saves{0};
  std::atomic<std::uint64_t> loads{0};
  std::atomic<std::int64_t> max_writer_wait_us{0};
};

class Stress {
 public:
  Stress() {
    for (PointId id = 0; id < PREFILLED; ++id) segment_.upsert(id, vector_for(id, 0), payload_for(id));
    Segment small;
    for (PointId id = 0; id < SMALL_STORE; ++id) small.upsert(id, vector_for(id, 1), payload_for(id));
    small_bytes_ = small.encode();
    saved_bytes_ = segment_.encode();
  }

  void run(double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int role = 0; role < THREADS; ++role) {
      threads.emplace_back([this, role, deadline] {
        std::mt19937_64 random(1000 + role);
        while (Clock::now() < deadline && !failed_.load()) {
          step(role, random);
          progress_[role].fetch_add(1);
        }
      });
    }
    std::thread watchdog([this] { watch(); });
    for (auto& thread : threads) thread.join();
    done_ = true;
    watchdog.join();
  }

  const Figures& figures() const { return figures_; }
  std::string failure() {
    std::lock_guard guard(mutex_);
    return failure_;
  }

 private:
  static constexpr const char* ROLE_NAMES[THREADS] = {
      "upsert", "upsert", "search", "tenant search", "small-tenant search",
      "batch search", "save", "load"};

  void fail(std::string problem) {
    std::lock_guard guard(mutex_);
    if (failure_.empty()) failure_ = std::move(problem);
    failed_ = true;
  }

  void step(int role, std::mt19937_64& random) {
    static constexpr Metric METRICS[] = {Metric::DotProduct, Metric::Cosine, Metric::Euclidean};
    const Metric metric = METRICS[random() % 3];
    const std::uint64_t limit = std::array<std::uint64_t, 4>{1, 10, 50, 700}[random() % 4];
    std::vector<float> query = vector_for(random() % IDS, random() % VERSIONS);
    query[random() % DIMENSION] += 0.25f;  // near a stored point, but not on it
    switch (role) {
      case 0:
      case 1: {
        const PointId id = random() % IDS;
        const auto start = Clock::now();
        segment_.upsert(id, vector_for(id, random() % VERSIONS), payload_for(id));
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        std::int64_t previous = figures_.max_writer_wait_us.load();
        while (waited.count() > previous &&
               !figures_.max_writer_wait_us.compare_exchange_weak(previous, waited.count())) {
        }
        figures_.upserts.fetch_add(1);
        return;
      }
      case 2:
      case 3:
      case 4: {
        // Role 2 searches the whole store, 3 a large tenant, 4 the small tenant (exact route).
        std::optional<std::string_view> tenant;
        if (role == 3) tenant = "odd";
        if (role == 4) tenant = random() % 8 ? "small" : "nobody";
        report(check_answer(segment_.search(query, limit, metric, tenant), query, limit, metric, tenant));
        figures_.searches.fetch_add(1);
        return;
      }
      case 5: {
        constexpr std::size_t BATCH = 8;
        std::vector<std::vector<float>> queries;
        for (std::size_t i = 0; i < BATCH; ++i) queries.push_back(vector_for(random() % IDS, 0));
        std::vector<std::vector<ScoredPoint>> answers(BATCH);
        auto tenant_of_query = [](std::size_t i) -> std::optional<std::string_view> {
          return i % 2 ? std::optional<std::string_view>("small") : std::nullopt;
        };
        WorkerPool::instance()->run(BATCH, [&](std::size_t i) {
          answers[i] = segment_.search(queries[i], limit, metric, tenant_of_query(i));
        });
        for (std::size_t i = 0; i < BATCH; ++i) {
          report(check_answer(answers[i], queries[i], limit, metric, tenant_of_query(i)));
        }
        figures_.batches.fetch_add(1);
        return;
      }
      case 6: {
        std::string bytes = segment_.encode();
        report(check_snapshot(bytes));
        {
          std::lock_guard guard(mutex_);
          saved_bytes_ = std::move(bytes);
        }
        figures_.saves.fetch_add(1);
        return;
      }
      case 7: {
        // Alternate the latest saved state with a small store, so both routes get their turn.
        std::string bytes;
        if (random() % 2) {
          std::lock_guard guard(mutex_);
          bytes = saved_bytes_;
        } else {
          bytes = small_bytes_;
        }
        if (std::optional<std::string> reason = segment_.load_bytes(bytes)) {
          fail("load of a saved state failed: " + *reason);
        }
        figures_.loads.fetch_add(1);
        return;
      }
    }
  }

  void report(const std::string& problem) {
    if (!problem.empty()) fail(problem);
  }

  // Ends the process when a thread has made no progress for STALL_LIMIT: a call that never
  // returns would otherwise hang the whole suite without saying where.
  void watch() {
    std::array<std::uint64_t, THREADS> last{};
    std::array<Clock::time_point, THREADS> since;
    since.fill(Clock::now());
    while (!done_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const auto now = Clock::now();
      for (int role = 0; role < THREADS; ++role) {
        const std::uint64_t count = progress_[role].load();
        if (count != last[role]) {
          last[role] = count;
          since[role] = now;
        } else if (now - since[role] > STALL_LIMIT) {
          std::fprintf(stderr, "stress: thread %d (%s) made no progress for %lld s; stuck in a call\n",
                       role, ROLE_NAMES[role],
                       static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(STALL_LIMIT).count()));
          std::abort();
        }
      }
    }
  }

  Segment segment_;
  std::string small_bytes_;
  std::mutex mutex_;
  std::string saved_bytes_;  // guarded by mutex_
  std::string failure_;      // guarded by mutex_
  std::atomic<bool> failed_{false};
  std::atomic<bool> done_{false};
  std::array<std::atomic<std::uint64_t>, THREADS> progress_{};
  Figures figures_;
};

TEST(Stress, EightThreadsMixingEveryOperation) {
  ASSERT_NE(WorkerPool::instance(), nullptr);
  const double seconds = stress_seconds();
  Stress stress;
  stress.run(seconds);
  const Figures& figures = stress.figures();
  std::printf("stress: %d threads for %.1f s: %llu upserts, %llu searches, %llu batches of 8, "
              "%llu saves, %llu loads; longest upsert %.1f ms\n",
              THREADS, seconds, static_cast<unsigned long long>(figures.upserts.load()),
              static_cast<unsigned long long>(figures.searches.load()),
              static_cast<unsigned long long>(figures.batches.load()),
              static_cast<unsigned long long>(figures.saves.load()),
              static_cast<unsigned long long>(figures.loads.load()),
              figures.max_writer_wait_us.load() / 1000.0);
  EXPECT_EQ(stress.failure(), "");
  for (const auto* count : {&figures.upserts, &figures.searches, &figures.batches, &figures.saves,
                            &figures.loads}) {
    EXPECT_GT(count->load(), 0u);
  }
  EXPECT_LT(std::chrono::microseconds(figures.max_writer_wait_us.load()), WRITER_WAIT_LIMIT);
}

}  // namespace
}  // namespace tarnwick
