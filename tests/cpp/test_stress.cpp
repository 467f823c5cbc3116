// Eight threads on one segment at once: upserts, deletes and bulk upserts (whose graph work
// runs on the worker pool under the write locks), searches on the exact and the graph route,
// batches on the same pool, saves to memory and load-swaps. Every answer is checked against
// the vectors that could have been stored under its identifiers, every saved state must hold
// a node for each point, and every write must get in while the readers stream: within
// READER_CALLS_LIMIT reader calls of asking. A failure in any thread is recorded and stops all
// of them, so the test ends and reports it; a watchdog ends the process only if a thread stops
// making progress altogether.
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
// A thread whose counter stands still this long is stuck in a call: generous, against hangs
// only, for a loaded machine under ThreadSanitizer.
constexpr auto STALL_LIMIT = std::chrono::seconds(120);
// Readers stream all the time. During one write they finish the calls in flight and those its
// unlocked parts let through, a few hundred at most on a plain build; this many means new
// readers kept getting in ahead of it.
constexpr std::uint64_t READER_CALLS_LIMIT = 20'000;
constexpr std::uint64_t NO_WRITER = UINT64_MAX;

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
  std::atomic<std::uint64_t> deletes{0};
  std::atomic<std::uint64_t> bulk_upserts{0};
  std::atomic<std::uint64_t> searches{0};
  std::atomic<std::uint64_t> batches{0};
  std::atomic<std::uint64_t> saves{0};
  std::atomic<std::uint64_t> loads{0};
  std::atomic<std::uint64_t> most_reader_calls_during_a_write{0};
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
    std::jthread watchdog([this] { watch(); });
    std::vector<std::jthread> threads;
    for (int role = 0; role < THREADS; ++role) {
      threads.emplace_back([this, role, deadline] {
        std::mt19937_64 random(1000 + role);
        // Readers go on past the deadline while a write waits, so that one stuck behind them
        // is caught by the count instead of let in when they stop.
        while ((Clock::now() < deadline || (is_reader(role) && writer_waiting())) && !failed_.load()) {
          step(role, random);
          progress_[role].fetch_add(1);
        }
      });
    }
    threads.clear();
    done_ = true;
  }

  const Figures& figures() const { return figures_; }
  std::string failure() {
    std::lock_guard guard(mutex_);
    return failure_;
  }

 private:
  static constexpr const char* ROLE_NAMES[THREADS] = {
      "upsert", "mixed writes", "search", "tenant search", "small-tenant search",
      "batch search", "save", "load"};

  static bool is_reader(int role) { return role >= 2 && role <= 5; }

  bool writer_waiting() const {
    for (const auto& asked : writer_asked_at_) {
      if (asked.load() != NO_WRITER) return true;
    }
    return false;
  }

  // Called by readers after each call: fails the run when a write has been waiting for more
  // than READER_CALLS_LIMIT of their calls; stopping them then lets it in.
  void count_reader_call() {
    const std::uint64_t calls = reader_calls_.fetch_add(1) + 1;
    for (const auto& asked : writer_asked_at_) {
      const std::uint64_t since = asked.load();
      if (since != NO_WRITER && calls > since && calls - since > READER_CALLS_LIMIT) {
        fail("a write waited while readers finished " + std::to_string(READER_CALLS_LIMIT) + " calls");
      }
    }
  }

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
        const std::uint64_t asked = reader_calls_.load();
        writer_asked_at_[role] = asked;
        write(role == 0 ? 0 : random() % 3, random);
        const std::uint64_t calls = reader_calls_.load() - asked;
        writer_asked_at_[role] = NO_WRITER;
        std::uint64_t previous = figures_.most_reader_calls_during_a_write.load();
        while (calls > previous &&
               !figures_.most_reader_calls_during_a_write.compare_exchange_weak(previous, calls)) {
        }
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
        count_reader_call();
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
        count_reader_call();
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

  // 0: an upsert; 1: a delete of up to 8 points; 2: a bulk upsert of up to 32.
  void write(std::uint64_t kind, std::mt19937_64& random) {
    std::vector<PointId> ids(kind == 0 ? 1 : 1 + random() % (kind == 2 ? 32 : 8));
    for (PointId& id : ids) id = random() % IDS;
    if (kind == 0) {
      segment_.upsert(ids[0], vector_for(ids[0], random() % VERSIONS), payload_for(ids[0]));
      figures_.upserts.fetch_add(1);
    } else if (kind == 1) {
      segment_.remove(ids);
      figures_.deletes.fetch_add(1);
    } else {
      std::vector<std::vector<float>> vectors;
      std::vector<std::optional<Payload>> payloads;
      for (PointId id : ids) {
        vectors.push_back(vector_for(id, random() % VERSIONS));
        payloads.emplace_back(payload_for(id));
      }
      std::atomic<std::size_t> done{0};
      segment_.upsert_many(ids, std::move(vectors), std::move(payloads), done);
      figures_.bulk_upserts.fetch_add(1);
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
  std::atomic<std::uint64_t> reader_calls_{0};
  // Per writing thread (roles 0 and 1): reader calls done when its current write began.
  std::array<std::atomic<std::uint64_t>, 2> writer_asked_at_{NO_WRITER, NO_WRITER};
  Figures figures_;
};

TEST(Stress, EightThreadsMixingEveryOperation) {
  ASSERT_NE(WorkerPool::instance(), nullptr);
  const double seconds = stress_seconds();
  Stress stress;
  stress.run(seconds);
  const Figures& figures = stress.figures();
  std::printf("stress: %d threads for %.1f s: %llu upserts, %llu deletes, %llu bulk upserts, "
              "%llu searches, %llu batches of 8, %llu saves, %llu loads; at most %llu reader calls "
              "during one write\n",
              THREADS, seconds, static_cast<unsigned long long>(figures.upserts.load()),
              static_cast<unsigned long long>(figures.deletes.load()),
              static_cast<unsigned long long>(figures.bulk_upserts.load()),
              static_cast<unsigned long long>(figures.searches.load()),
              static_cast<unsigned long long>(figures.batches.load()),
              static_cast<unsigned long long>(figures.saves.load()),
              static_cast<unsigned long long>(figures.loads.load()),
              static_cast<unsigned long long>(figures.most_reader_calls_during_a_write.load()));
  EXPECT_EQ(stress.failure(), "");
  for (const auto* count : {&figures.upserts, &figures.deletes, &figures.bulk_upserts, &figures.searches, &figures.batches, &figures.saves,
                            &figures.loads}) {
    EXPECT_GT(count->load(), 0u);
  }
  EXPECT_LE(figures.most_reader_calls_during_a_write.load(), READER_CALLS_LIMIT);
}

}  // namespace
}  // namespace tarnwick
