// The walks through the graph that insertion shares with search.
#pragma once

#include <cstdint>

#include "core/point_table.hpp"
#include "index/hnsw.hpp"
#include "index/scoring_scratch.hpp"
#include "index/walk_scratch.hpp"

namespace tarnwick::detail {

// One layer of an insertion: a best-first walk with a result list of `beam` entries that
// starts from the nearest nodes of the layer above (left in w.found), or from `entry` when
// there are none, and ends once no candidate can improve the results. Leaves this layer's
// results in w.found, nearest first.
void walk_insertion_layer(const HNSWIndex& index, const Query& query, Slot entry,
                          std::uint64_t layer, std::uint64_t beam, const PointTable& points,
                          WalkScratch& w, ScoringScratch& k);

}  // namespace tarnwick::detail
