// How the graph code reads the point table's slots.
#pragma once

#include "core/point_table.hpp"
#include "index/hnsw.hpp"

namespace tarnwick::detail {

// A stored point seen as a query, with the root the table computed when it was stored.
inline Query point_query(const PointTable& points, Slot slot) {
  return Query{points.vector(slot), points.norm_root(slot)};
}

// Links may name slots the table has never given out only through a damaged graph; such a
// link is skipped like one to a slot without a point.
inline bool holds_point(const PointTable& points, Slot slot) {
  return slot < points.slot_count() && points.has_point(slot);
}

}  // namespace tarnwick::detail
