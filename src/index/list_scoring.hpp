// Cosine distances from a query to many points at once, through the batched kernel. Inline:
// the walks and neighbour selection call these in their hot loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/distance.hpp"
#include "core/point_table.hpp"
#include "index/hnsw.hpp"
#include "index/scoring_scratch.hpp"

namespace tarnwick::detail {

// Vectors that cannot be compared with the query (another length, or empty) get
// MAX_DISTANCE without reaching the kernel.
inline bool comparable(const Query& query, std::span<const float> vector) {
  return !vector.empty() && vector.size() == query.values.size();
}

// Runs the batched kernel over the queued vectors; `store(j, distance)` receives the cosine
// distance of the j-th queued one.
template <class Store>
void run_kernel(const Query& query, const PointTable& points, ScoringScratch& s, Store store) {
  const std::size_t count = s.kernel_vectors.size();
  if (count == 0) {
    return;
  }
  s.kernel_sums.resize(count);
  sum_products_batch(query.values.data(), s.kernel_vectors.data(), count, query.values.size(),
                     s.kernel_sums.data());
  for (std::size_t j = 0; j < count; ++j) {
    store(j, cosine_distance_from_roots(s.kernel_sums[j], query.norm_root,
                                        points.norm_root(s.kernel_slots[j])));
  }
  s.kernel_vectors.clear();
  s.kernel_slots.clear();
}

// Cosine distances from `query` to the points of `slots` (all holding points), one per slot.
inline void score_list(const Query& query, std::span<const Slot> slots, const PointTable& points,
                       std::vector<float>& distances, ScoringScratch& s) {
  distances.assign(slots.size(), MAX_DISTANCE);
  s.kernel_vectors.clear();
  s.kernel_slots.clear();
  s.list_positions.clear();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    std::span<const float> vector = points.vector(slots[i]);
    if (comparable(query, vector)) {
      s.kernel_vectors.push_back(vector.data());
      s.kernel_slots.push_back(slots[i]);
      s.list_positions.push_back(static_cast<std::uint32_t>(i));
    }
  }
  run_kernel(query, points, s,
             [&](std::size_t j, float distance) { distances[s.list_positions[j]] = distance; });
}

}  // namespace tarnwick::detail
