#include "storage/segment.hpp"

#include <algorithm>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "storage/worker_pool.hpp"

namespace tarnwick {

Segment::Segment(GraphParameters graph, std::optional<std::size_t> dim) : dim_(dim) {
  index_.m = graph.m;
  index_.ef_construction = graph.ef_construction;
  index_.ef_search = graph.ef_search;
}

GraphParameters Segment::graph_parameters() const {
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);
  return GraphParameters{index_.m, index_.ef_construction, index_.ef_search};
}

std::size_t Segment::size() const {
  std::shared_lock points_guard(points_lock_);
  return points_.size();
}

bool Segment::contains(PointId id) const {
  std::shared_lock points_guard(points_lock_);
  std::optional<Slot> slot = points_.find(id);
  return slot && points_.has_point(*slot);
}

std::optional<Point> Segment::get(PointId id) const {
  std::shared_lock points_guard(points_lock_);
  std::optional<Slot> slot = points_.find(id);
  if (!slot || !points_.has_point(*slot)) {
    return std::nullopt;
  }
  return points_.point(*slot);
}

UpsertResult Segment::upsert(PointId id, std::vector<float> vector, std::optional<Payload> payload) {
  std::unique_lock points_guard(points_lock_);
  std::unique_lock index_guard(index_lock_);
  std::optional<Slot> slot = points_.insert(id, Point{id, std::move(vector), std::move(payload)});
  if (!slot) {
    return UpsertResult::TableFull;
  }
  index_.insert(*slot, points_);
  return UpsertResult::Stored;
}

namespace {

// Runs the graph's parallel work on the pool with at most one task per worker, each taking
// positions as it goes, so that as many threads work as the pool has workers, the thread
// that waits for the pool included.
HNSWIndex::ParallelFor pool_parallel_for() {
  WorkerPool* pool = WorkerPool::instance();
  return [pool](std::size_t count, const std::function<void(std::size_t)>& task) {
    const std::size_t tasks = pool == nullptr ? 1 : std::min(pool->size(), count);
    if (tasks <= 1) {
      for (std::size_t i = 0; i < count; ++i) {
        task(i);
      }
      return;
    }
    std::atomic<std::size_t> next{0};
    pool->run(tasks, [&](std::size_t) {
      for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        task(i);
      }
    });
  };
}

}  // namespace

UpsertResult Segment::upsert_many(std::span<const PointId> ids, std::vector<std::vector<float>> vectors,
                                  std::vector<std::optional<Payload>> payloads,
                                  std::atomic<std::size_t>& done) {
  // Of repeated ids the later wins: each id is stored from its last position.
  std::unordered_map<PointId, std::size_t> last;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    last[ids[i]] = i;
  }
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (last[ids[i]] == i) {
      kept.push_back(i);
    }
  }
  // Reserved before any point goes in, so that every point stored is also handed to the
  // graph: a push_back that ran out of memory would lose the slot of a point just stored.
  std::vector<Slot> slots;
  std::vector<std::uint64_t> levels;
  slots.reserve(kept.size());
  levels.reserve(kept.size());
  const HNSWIndex::ParallelFor parallel_for = pool_parallel_for();
  std::unique_lock points_guard(points_lock_);
  std::unique_lock index_guard(index_lock_);
  if (kept.size() > NO_SLOT || points_.slot_count() > NO_SLOT - kept.size()) {
    return UpsertResult::TableFull;
  }
  for (std::size_t i : kept) {
    slots.push_back(*points_.insert(ids[i], Point{ids[i], std::move(vectors[i]), std::move(payloads[i])}));
    levels.push_back(random_level(index_.m));
  }
  index_.insert_many(slots, levels, points_, parallel_for, done);
  return UpsertResult::Stored;
}

std::size_t Segment::remove(std::span<const PointId> ids) {
  // Before the locks: the first call starts the pool's threads.
  const HNSWIndex::ParallelFor parallel_for = pool_parallel_for();
  std::unique_lock points_guard(points_lock_);
  std::unique_lock index_guard(index_lock_);
  std::vector<Slot> doomed;
  for (PointId id : ids) {
    std::optional<Slot> slot = points_.find(id);
    if (slot && points_.has_point(*slot)) {
      doomed.push_back(*slot);
    }
  }
  std::sort(doomed.begin(), doomed.end());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  if (doomed.empty()) {
    return 0;
  }
  // The graph lets go of the slots before the table gives them out again.
  index_.remove(doomed, points_, parallel_for);
  for (Slot slot : doomed) {
    points_.erase(points_.key(slot));
  }
  if (points_.size() == 0 && index_.node_count() == 0) {
    HNSWIndex fresh;
    fresh.m = index_.m;
    fresh.ef_construction = index_.ef_construction;
    fresh.ef_search = index_.ef_search;
    index_ = std::move(fresh);
    points_ = PointTable();
  }
  return doomed.size();
}

namespace {

// The score of a graph result under the query's metric. Cosine reuses the graph distance;
// the others are computed again, with a fixed score for points that cannot be compared.
float graph_score(Metric metric, std::span<const float> query, std::span<const float> vector,
                  float distance) {
  switch (metric) {
    case Metric::Cosine:
      return 1.0f - distance;
    case Metric::DotProduct: {
      Score score = dot_product(query, vector);
      return score.ok() ? score.value : 0.0f;
    }
    case Metric::Euclidean: {
      Score score = euclidean_distance(query, vector);
      return score.ok() ? score.value : MAX_DISTANCE;
    }
  }
  return 0.0f;
}

// Owned copies of the answer's payloads, one per entry, read by the slot each was scored at.
void copy_payloads(const PointTable& points, SearchAnswer& answer) {
  answer.payloads.reserve(answer.points.size());
  for (const ScoredPoint& point : answer.points) {
    const Payload* payload = points.payload(point.slot);
    answer.payloads.push_back(payload != nullptr ? std::optional<Payload>(*payload) : std::nullopt);
  }
}

}  // namespace

SearchAnswer Segment::search(std::span<const float> query, std::uint64_t limit, Metric metric,
                             std::optional<std::string_view> tenant,
                             const SearchOptions& options) const {
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);
  SearchAnswer answer;

  TenantRef tenant_ref = NO_TENANT;
  std::size_t population = points_.size();
  if (tenant) {
    std::optional<TenantRef> found = points_.tenant(*tenant);
    if (!found) {
      return answer;
    }
    tenant_ref = *found;
    population = points_.tenant_slots(tenant_ref).size();
  }
  // Small stores, and small tenants of large ones, are answered exactly.
  if (population < HNSW_SEARCH_THRESHOLD || !index_.entry_point) {
    answer.points = search_exact_knn(query, limit, metric, points_, tenant_ref);
    if (options.with_payload) {
      copy_payloads(points_, answer);
    }
    return answer;
  }

  // The result list must be able to hold `limit` entries, or a large limit could not be met.
  const std::uint64_t bound = std::max(options.ef_search.value_or(index_.ef_search), limit);
  std::vector<Candidate> found = index_.search(make_query(query), bound, points_, tenant_ref);

  std::vector<ScoredPoint>& output = answer.points;
  for (const Candidate& candidate : found) {
    if (output.size() >= limit) {
      break;
    }
    if (!points_.has_point(candidate.slot) ||
        (tenant_ref != NO_TENANT && points_.tenant_of(candidate.slot) != tenant_ref)) {
      continue;
    }
    output.push_back(ScoredPoint{
        points_.point_id(candidate.slot),
        graph_score(metric, query, points_.vector(candidate.slot), candidate.distance),
        candidate.slot});
  }
  std::stable_sort(output.begin(), output.end(), [metric](const ScoredPoint& a, const ScoredPoint& b) {
    return score_precedes(metric, a.score, b.score);
  });
  if (options.with_payload) {
    copy_payloads(points_, answer);
  }
  return answer;
}

}  // namespace tarnwick
