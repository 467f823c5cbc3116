#include "storage/segment.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

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
