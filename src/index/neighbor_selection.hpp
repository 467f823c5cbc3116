// Neighbour selection: which of a node's candidates become its links.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/bound.hpp"
#include "core/point_table.hpp"
#include "index/ranked_entry.hpp"
#include "index/scoring_scratch.hpp"
#include "index/selection_scratch.hpp"

namespace tarnwick::detail {

// Walks `sorted` (nearest to the base first) and keeps a node unless an already kept one is
// nearer to it than the base is. Links then spread over directions instead of crowding into
// one cluster, which keeps the graph navigable. At most `cap` slots go to `out`; `exclude`
// never does. With a `slack` above 1, a kept node drops a candidate only when it is nearer
// to it than the base's distance divided by `slack`, so more links in nearby directions stay.
void select_neighbors(std::span<const Entry> sorted, std::size_t cap, Slot exclude,
                      const PointTable& points, std::vector<Slot>& out, SelectionScratch& s,
                      float slack = 1.0f);

// What an insertion already knows of a link it adds: the target's code as a query
// (encode_query), made once for all the lists the target joins, and the results of the
// target's walk, where the owner is found with its exact distance. Either may be missing.
struct KnownOfLink {
  const QueryCode* target_code = nullptr;
  std::span<const Entry> target_found;
};

// Adds `target` to the list of `owner`; a list then over `cap` is cut back by neighbour
// selection around `owner`, which also drops links to slots without a point. `settled` says
// whether the list was settled (see neighbor_selection.cpp); returns whether it is now.
bool add_link_to_list(std::vector<Slot>& list, Slot owner, Slot target, std::size_t cap,
                      bool settled, const KnownOfLink& known, const PointTable& points,
                      SelectionScratch& s, ScoringScratch& k);

}  // namespace tarnwick::detail
