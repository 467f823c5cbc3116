// Insertion: a node's links on each of its layers, and the links back to it.
#include "index/hnsw.hpp"

#include <algorithm>

#include "index/link_caps.hpp"
#include "index/list_scoring.hpp"
#include "index/neighbor_selection.hpp"
#include "index/point_lookup.hpp"
#include "index/thread_scratch.hpp"
#include "index/walk.hpp"

namespace tarnwick {

using namespace detail;

void HNSWIndex::add_link(Slot owner, std::uint64_t layer, Slot target, const KnownOfLink& known,
                         const PointTable& points) {
  Scratch& s = thread_scratch();
  const std::size_t cap = link_cap(m, layer);
  if (layer != 0) {
    add_link_to_list(upper_list(owner, layer), owner, target, cap, false, known, points,
                     s.selection, s.scoring);
    return;
  }
  std::span<const Slot> current = neighbors(owner, 0);
  if (std::find(current.begin(), current.end(), target) != current.end()) {
    return;
  }
  Slot* cells = row(owner);
  if (current.size() < cap && cells[0] != LONG_LIST && cells[0] + 1 < rows_.stride()) {
    cells[1 + cells[0]] = target;
    ++cells[0];
    settled_.assign(owner, false);
    return;
  }
  std::vector<Slot>& links = s.selection.links;
  links.assign(current.begin(), current.end());
  settled_.assign(owner, add_link_to_list(links, owner, target, cap, settled_.test(owner),
                                          known, points, s.selection, s.scoring));
  store_layer0(owner, links);
}

void HNSWIndex::insert(Slot slot, const PointTable& points) {
  insert_at_level(slot, points, random_level(m));
}

void HNSWIndex::insert_at_level(Slot slot, const PointTable& points, std::uint64_t level) {
  level = std::min<std::uint64_t>(level, MAX_LAYERS - 1);
  HNSWNode fresh;
  fresh.id = points.key(slot);
  const bool record_links = in_links_.kept_through_insertions(1, points.slot_count());
  if (!entry_point) {
    entry_point = slot;
    max_level = level;
    set_node(slot, std::move(fresh), points);
    return;
  }

  // A replaced point may have moved, and with it what any list holding its slot would keep.
  if (points.replacements() != replacements_seen_) {
    settled_.clear();
    replacements_seen_ = points.replacements();
  }
  // A node already under `slot` stays in place while the walks run, so they can pass
  // through it; it is replaced only at the end.
  Scratch& s = thread_scratch();
  const Query query = with_code(point_query(points, slot), points, s.scoring);
  const std::uint64_t top = max_level;
  Slot entry = *entry_point;
  for (std::uint64_t layer = std::min<std::uint64_t>(top, MAX_LAYERS - 1); layer > level; --layer) {
    entry = search_layer(query, entry, layer, points);
  }

  const std::uint64_t beam = std::max<std::uint64_t>(ef_construction, 1);
  s.walk.found.clear();
  for (std::uint64_t layer = std::min(level, top);; --layer) {
    walk_insertion_layer(*this, query, entry, layer, beam, points, s.walk, s.scoring);

    std::vector<Slot>& links = fresh.neighbors_mut(layer);
    select_neighbors(s.walk.found, link_cap(m, layer), slot, points, links, s.selection);
    // Each back-link reads the neighbour's list; the next neighbour's list is fetched while
    // this one is linked.
    for (std::size_t i = 0; i < links.size(); ++i) {
      if (layer == 0 && i + 1 < links.size() && has_node(links[i + 1])) {
        prefetch_links(links[i + 1]);
      }
      if (has_node(links[i])) {
        add_link(links[i], layer, slot, KnownOfLink{query.code, s.walk.found}, points);
        if (record_links) {
          in_links_.add(slot, links[i]);
        }
      }
    }
    if (layer == 0) {
      break;
    }
  }

  while (!fresh.upper.empty() && fresh.upper.back().empty()) {
    fresh.upper.pop_back();
  }
  if (level > top) {
    max_level = level;
    entry_point = slot;
  }
  set_node(slot, std::move(fresh), points);
  settled_.assign(slot, true);  // its layer-0 list came from selection
}

}  // namespace tarnwick
