// Cosine distances from a query to many points at once, through the batched kernel. Inline:
// the walks and neighbour selection call these in their hot loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/distance.hpp"
#include "core/point_table.hpp"
#include "core/prefetch.hpp"
#include "index/hnsw.hpp"
#include "index/scoring_scratch.hpp"
#include "index/scratch_buffer.hpp"

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
  grow_to(s.kernel_sums, count);
  sum_products_batch(query.values.data(), s.kernel_vectors.data(), count, query.values.size(),
                     s.kernel_sums.data());
  for (std::size_t j = 0; j < count; ++j) {
    store(j, cosine_distance_from_roots(s.kernel_sums[j], query.norm_root,
                                        points.norm_root(s.kernel_slots[j])));
  }
  s.kernel_vectors.clear();
  s.kernel_slots.clear();
}

// `query` with its code in s.query_code, when pruning is on and the query can take one.
inline Query with_code(const Query& query, const PointTable& points, ScoringScratch& s) {
  if (!pruning_enabled() || query.values.size() != points.dimension()) {
    return query;
  }
  encode_query(query.values, sum_squares(query.values.data(), query.values.size()), s.query_code);
  Query coded = query;
  coded.code = s.query_code.usable ? &s.query_code : nullptr;
  return coded;
}

// Of the vectors queued for the kernel, takes out those whose distance to the query (which
// has a code) is certainly not below `limit`, calling away(j) with each one's place in the
// queue; the rest stay queued in order, and so do their `positions` when given. The query's
// length is the table's common one, so every queued slot has a code row; one without a code
// settles nothing.
template <class Away>
void turn_away_by_bound(const Query& query, double limit, const PointTable& points,
                        ScoringScratch& s, std::vector<std::uint32_t>* positions, Away away) {
  const std::size_t count = s.kernel_slots.size();
  s.code_rows.clear();
  for (Slot slot : s.kernel_slots) {
    s.code_rows.push_back(points.code_row(slot));
  }
  grow_to(s.code_dots, count);
  code_dots(*query.code, s.code_rows.data(), count, s.code_dots.data());
  std::size_t kept = 0;
  for (std::size_t j = 0; j < count; ++j) {
    const Bounds bounds = cosine_distance_bounds(*query.code, s.code_rows[j], s.code_dots[j]);
    if (bounds.low >= limit) {
      if constexpr (CHECK_BOUNDS) {
        verify_bounds(bounds, distance_to(query, points, s.kernel_slots[j]));
      }
      away(j);
      continue;
    }
    s.kernel_slots[kept] = s.kernel_slots[j];
    s.kernel_vectors[kept] = s.kernel_vectors[j];
    prefetch_lines(s.kernel_vectors[kept], query.values.size() * sizeof(float));  // scored next
    points.prefetch_root(s.kernel_slots[kept]);
    if (positions != nullptr) {
      (*positions)[kept] = (*positions)[j];
    }
    ++kept;
  }
  s.decisions.by_bound += count - kept;
  s.decisions.exact += kept;
  s.kernel_slots.resize(kept);
  s.kernel_vectors.resize(kept);
  if (positions != nullptr) {
    positions->resize(kept);
  }
}

// Cosine distances from `query` to the points of `slots` (all holding points), one per slot.
// With a code, a distance certainly not below `limit` may be left at +inf instead (a NaN
// limit settles nothing).
inline void score_list(const Query& query, std::span<const Slot> slots, const PointTable& points,
                       std::vector<float>& distances, ScoringScratch& s,
                       float limit = std::numeric_limits<float>::quiet_NaN()) {
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
  if (query.code != nullptr && limit == limit) {
    turn_away_by_bound(query, limit, points, s, &s.list_positions, [&](std::size_t j) {
      distances[s.list_positions[j]] = std::numeric_limits<float>::infinity();
    });
  }
  run_kernel(query, points, s,
             [&](std::size_t j, float distance) { distances[s.list_positions[j]] = distance; });
}

}  // namespace tarnwick::detail
