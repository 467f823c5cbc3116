// Inserting many nodes at once, in rounds. Each round takes a batch that is small next to the
// graph; its nodes search the graph as it stood at the round's start, all at once and reading
// only, and choose their own lists. Their back-links are then made target by target, each
// target's by one task (targets sharing a word of settled bits go together), so no two tasks
// ever write one list. The walks stay as single insertions run them, with no locks, and the
// graph a round builds does not depend on how many threads ran it.
#include <algorithm>
#include <atomic>

#include "index/hnsw.hpp"
#include "index/link_caps.hpp"
#include "index/list_scoring.hpp"
#include "index/neighbor_selection.hpp"
#include "index/point_lookup.hpp"
#include "index/thread_scratch.hpp"
#include "index/walk.hpp"

namespace tarnwick {

using namespace detail;

namespace {

// Below this many nodes, nodes are inserted one at a time: a round's batch would be too
// large a share of the graph for its nodes to do without seeing one another.
constexpr std::size_t SERIAL_NODES = 1024;
// A round's batch is at most this share of the graph, and at most MAX_BATCH nodes.
constexpr std::size_t BATCH_SHARE = 32;
constexpr std::size_t MAX_BATCH = 4096;

struct BackLink {
  Slot target;
  std::uint32_t layer;
  Slot source;
};

}  // namespace

void HNSWIndex::insert_many(std::span<const Slot> slots, std::span<const std::uint64_t> levels,
                            const PointTable& points, const ParallelFor& parallel_for,
                            std::atomic<std::size_t>& done) {
  std::vector<Slot> fresh;
  std::vector<std::uint64_t> fresh_levels;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    // A node already in the graph is replaced by a single insertion: walks pass through it.
    if (has_node(slots[i]) || node_count_ < SERIAL_NODES) {
      insert_at_level(slots[i], points, levels[i]);
      done.fetch_add(1, std::memory_order_relaxed);
    } else {
      fresh.push_back(slots[i]);
      fresh_levels.push_back(levels[i]);
    }
  }
  for (std::size_t begin = 0; begin < fresh.size();) {
    const std::size_t size =
        std::clamp<std::size_t>(node_count_ / BATCH_SHARE, 1, std::min(MAX_BATCH, fresh.size() - begin));
    insert_round(std::span(fresh).subspan(begin, size), std::span(fresh_levels).subspan(begin, size),
                 points, parallel_for);
    begin += size;
    done.fetch_add(size, std::memory_order_relaxed);
  }
}

void HNSWIndex::insert_round(std::span<const Slot> slots, std::span<const std::uint64_t> levels,
                             const PointTable& points, const ParallelFor& parallel_for) {
  if (points.replacements() != replacements_seen_) {
    settled_.clear();
    replacements_seen_ = points.replacements();
  }
  const bool record_links = in_links_.kept_through_insertions(slots.size(), points.slot_count());
  const std::uint64_t top = max_level;
  const Slot start = *entry_point;
  const std::uint64_t beam = std::max<std::uint64_t>(ef_construction, 1);

  // The walks and each node's own lists: reads the graph only.
  std::vector<HNSWNode> nodes(slots.size());
  parallel_for(slots.size(), [&](std::size_t i) {
    const Slot slot = slots[i];
    const std::uint64_t level = std::min<std::uint64_t>(levels[i], MAX_LAYERS - 1);
    HNSWNode& node = nodes[i];
    node.id = points.key(slot);
    Scratch& s = thread_scratch();
    const Query query = with_code(point_query(points, slot), points, s.scoring);
    Slot entry = start;
    for (std::uint64_t layer = std::min<std::uint64_t>(top, MAX_LAYERS - 1); layer > level; --layer) {
      entry = search_layer(query, entry, layer, points);
    }
    s.walk.found.clear();
    for (std::uint64_t layer = std::min(level, top);; --layer) {
      walk_insertion_layer(*this, query, entry, layer, beam, points, s.walk, s.scoring);
      select_neighbors(s.walk.found, link_cap(m, layer), slot, points, node.neighbors_mut(layer),
                       s.selection);
      if (layer == 0) {
        break;
      }
    }
    while (!node.upper.empty() && node.upper.back().empty()) {
      node.upper.pop_back();
    }
  });

  // Back-links in the order single insertions would make them, then grouped by target word.
  std::vector<BackLink> back_links;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    for (std::size_t layer = nodes[i].upper.size();; --layer) {
      for (Slot target : nodes[i].neighbors(layer)) {
        if (has_node(target)) {
          back_links.push_back(BackLink{target, static_cast<std::uint32_t>(layer), slots[i]});
        }
      }
      if (layer == 0) {
        break;
      }
    }
  }
  std::stable_sort(back_links.begin(), back_links.end(),
                   [](const BackLink& a, const BackLink& b) { return a.target >> 6 < b.target >> 6; });
  // Everything that could reallocate is made here, before the threads write: the new nodes,
  // and the upper lists the back-links go to.
  for (std::size_t i = 0; i < slots.size(); ++i) {
    set_node(slots[i], std::move(nodes[i]), points);
    settled_.assign(slots[i], true);  // its layer-0 list came from selection
  }
  for (const BackLink& link : back_links) {
    if (link.layer != 0) {
      upper_list(link.target, link.layer);
    }
  }
  std::vector<std::size_t> groups;  // where each target word's back-links begin
  for (std::size_t i = 0; i < back_links.size(); ++i) {
    if (i == 0 || back_links[i].target >> 6 != back_links[i - 1].target >> 6) {
      groups.push_back(i);
    }
  }
  groups.push_back(back_links.size());
  auto link_group = [&](std::size_t g) {
    for (std::size_t i = groups[g]; i < groups[g + 1]; ++i) {
      add_link(back_links[i].target, back_links[i].layer, back_links[i].source, KnownOfLink{}, points);
    }
  };
  // A list longer than a row would be moved to the shared overflow store: such graphs link
  // one target at a time.
  if (link_cap(m, 0) <= MAX_ROW_LINKS) {
    parallel_for(groups.size() - 1, link_group);
  } else {
    for (std::size_t g = 0; g + 1 < groups.size(); ++g) {
      link_group(g);
    }
  }
  if (record_links) {
    for (const BackLink& link : back_links) {
      in_links_.add(link.source, link.target);
    }
  }

  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::uint64_t level = std::min<std::uint64_t>(levels[i], MAX_LAYERS - 1);
    if (level > max_level) {
      max_level = level;
      entry_point = slots[i];
    }
  }
}

}  // namespace tarnwick
