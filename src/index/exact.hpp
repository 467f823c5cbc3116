// The exact scan: score every candidate point, keep the best `limit`.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/distance.hpp"
#include "core/point_table.hpp"

namespace tarnwick {

struct ScoredPoint {
  PointId id;            // the point's own identifier field
  float score;           // under the query's metric
  Slot slot = NO_SLOT;   // where the point is stored, for callers that read more of it
};

// True when score `a` ranks before score `b` under the metric: higher first for DotProduct
// and Cosine, lower first for Euclidean. NaN ranks after every number.
inline bool score_precedes(Metric metric, float a, float b) {
  if (b != b) {
    return a == a;
  }
  return higher_is_better(metric) ? a > b : a < b;
}

// Scores every point of the table (or only the tenant's points, when a tenant is given)
// against the query, leaves out points that cannot be scored, and returns the best `limit`
// ordered best first. Equal scores keep table order; NaN scores come last.
std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const PointTable& points,
                                          TenantRef tenant);

}  // namespace tarnwick
