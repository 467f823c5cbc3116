#include "storage/segment.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace tarnwick {

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

std::size_t Segment::remove(std::span<const PointId> ids) {
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
  index_.remove(doomed, points_);
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

}  // namespace

std::vector<ScoredPoint> Segment::search(std::span<const float> query, std::uint64_t limit,
                                         Metric metric,
                                         std::optional<std::string_view> tenant) const {
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);

  TenantRef tenant_ref = NO_TENANT;
  std::size_t population = points_.size();
  if (tenant) {
    std::optional<TenantRef> found = points_.tenant(*tenant);
    if (!found) {
      return {};
    }
    tenant_ref = *found;
    population = points_.tenant_slots(tenant_ref).size();
  }
  // Small stores, and small tenants of large ones, are answered exactly.
  if (population < HNSW_SEARCH_THRESHOLD || !index_.entry_point) {
    return search_exact_knn(query, limit, metric, points_, tenant_ref);
  }

  // The result list must be able to hold `limit` entries, or a large limit could not be met.
  const std::uint64_t bound = std::max(index_.ef_search, limit);
  std::vector<Candidate> found = index_.search(make_query(query), bound, points_, tenant_ref);

  std::vector<ScoredPoint> output;
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
        graph_score(metric, query, points_.vector(candidate.slot), candidate.distance)});
  }
  std::stable_sort(output.begin(), output.end(), [metric](const ScoredPoint& a, const ScoredPoint& b) {
    return score_precedes(metric, a.score, b.score);
  });
  return output;
}

}  // namespace tarnwick
