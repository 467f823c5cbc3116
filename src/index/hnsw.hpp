// The HNSW graph: nodes with per-layer neighbour lists, insertion and walks.
//
// The graph always navigates by cosine distance, whatever metric a query names. Nodes and
// links are addressed by the point table's slots, so following a link is an array access.
// Layer-0 lists, which every search reads, sit in fixed-size rows of one flat store: a list
// is one memory access away from its slot, and a node costs no allocation of its own.
//
// The code is split by role: node storage (graph_storage.cpp), walks (walk.cpp), neighbour
// selection (neighbor_selection.cpp), insertion (insertion.cpp) and the level draw
// (level_draw.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/bound.hpp"
#include "core/point_table.hpp"
#include "core/slot_arena.hpp"
#include "core/slot_bits.hpp"
#include "index/in_links.hpp"

namespace tarnwick {

namespace detail {
class SlotSet;
struct KnownOfLink;
}

inline constexpr std::size_t MAX_LAYERS = 16;

struct HNSWNode {
  PointId id = 0;                         // the node's own identifier field, persisted as is
  std::vector<Slot> layer0;               // neighbours on layer 0, in the order added
  std::vector<std::vector<Slot>> upper;   // upper[l - 1]: neighbours on layer l (l = 1..15);
                                          // lists past the last non-empty one are omitted

  // The list on `layer` (empty past the stored ones).
  std::span<const Slot> neighbors(std::size_t layer) const;
  // The list on `layer` < MAX_LAYERS, created if needed.
  std::vector<Slot>& neighbors_mut(std::size_t layer);
};

// A node as the graph holds it, read in place.
struct NodeView {
  PointId id;
  std::span<const Slot> layer0;
  std::span<const std::vector<Slot>> upper;

  std::span<const Slot> neighbors(std::size_t layer) const;
  operator HNSWNode() const;  // an owning copy
};

// A query vector with the square root of its sum of squares, computed once per query, and
// the code that bounds its distances (null: every distance is computed exactly).
struct Query {
  std::span<const float> values;
  float norm_root = -0.0f;
  const QueryCode* code = nullptr;
};
Query make_query(std::span<const float> values);

// The cosine distance between a query and a stored point, from the root the table keeps:
// the same bits as cosine_distance(query, vector).
float distance_to(const Query& query, const PointTable& points, Slot slot);

// One entry of a search's result list: cosine distance and slot.
struct Candidate {
  float distance;
  Slot slot;
};

// The level of a new node: floor(-ln(u) / ln(m)) for a uniform u in (0, 1), at most 15,
// drawn from the calling thread's own generator (seeded from the operating system).
std::uint64_t random_level(std::uint64_t m);

// Neighbours that walks turned away by a bound, and neighbours they decided with the exact
// distance, counted per thread for the benchmarks.
struct BoundDecisions {
  std::uint64_t by_bound = 0;
  std::uint64_t exact = 0;
};
// The calling thread's counts since the last call, which resets them.
BoundDecisions take_bound_decisions();

class HNSWIndex {
 public:
  std::uint64_t m = 16;                // link cap per list: m above layer 0, 2m on layer 0
  std::uint64_t ef_construction = 64;  // beam width while inserting
  std::uint64_t ef_search = 32;        // beam width of the bottom-layer search
  std::optional<Slot> entry_point;     // where every walk starts
  std::uint64_t max_level = 0;         // highest layer in use

  bool has_node(Slot slot) const { return slot < uppers_.size() && uppers_[slot] != NO_NODE; }
  // The node under `slot`; its id is the slot's key unless it was stored with another.
  NodeView node(Slot slot, const PointTable& points) const;
  // The list of the node under `slot` on `layer` (empty past the stored ones).
  // Inline: every step of a walk reads a list.
  std::span<const Slot> neighbors(Slot slot, std::size_t layer) const {
    if (layer != 0) {
      return upper_neighbors(slot, layer);
    }
    const Slot* cells = row(slot);
    if (cells[0] == LONG_LIST) {
      return overflow_[cells[1]];
    }
    return {cells + 1, cells[0]};
  }
  // Starts fetching the layer-0 list under `slot`; for a slot without a node it fetches
  // nothing of use, and reads nothing.
  void prefetch_links(Slot slot) const {
    const char* cells = reinterpret_cast<const char*>(row(slot));
    __builtin_prefetch(cells);
    __builtin_prefetch(cells + 64);
  }
  // Stores a node under `slot`, replacing any node there (used when loading).
  void set_node(Slot slot, HNSWNode node, const PointTable& points);
  std::size_t node_count() const { return node_count_; }

  // Adds the point stored under `slot` (already in `points`) to the graph at a random level.
  void insert(Slot slot, const PointTable& points);
  // The same at a given level, for tests that build graphs by hand.
  void insert_at_level(Slot slot, const PointTable& points, std::uint64_t level);

  // Runs task(i) for every i < count, on any number of threads at once; returns when all
  // are done.
  using ParallelFor = std::function<void(std::size_t count, const std::function<void(std::size_t)>& task)>;
  // Adds the points under `slots` (distinct, all in `points`) at the given levels, as many
  // single insertions would, with the walks of each round run through `parallel_for`;
  // `done` counts the nodes in place.
  void insert_many(std::span<const Slot> slots, std::span<const std::uint64_t> levels,
                   const PointTable& points, const ParallelFor& parallel_for,
                   std::atomic<std::size_t>& done);

  // Removes the nodes under `doomed` (distinct slots; ones without a node are allowed) and
  // every link to them. Each surviving list that named one is chosen again by neighbour
  // selection from itself and the removed nodes' lists on that layer, once per call, and
  // filled back to its old length from the nearest candidates selection passed over. When
  // the entry point goes, a surviving node with links on the highest layer takes its place;
  // a graph left without nodes is as a new one, its parameters kept. The lists are chosen
  // through `parallel_for`; the graph does not depend on how many threads ran it.
  void remove(std::span<const Slot> doomed, const PointTable& points, const ParallelFor& parallel_for);

  // Greedy walk on one layer from `entry`: moves to the nearest neighbour while it improves.
  Slot search_layer(const Query& query, Slot entry, std::uint64_t layer,
                    const PointTable& points) const;

  // Descends from the entry point and searches layer 0 with a result list of `bound`
  // entries. With a tenant, any node may be passed through but only the tenant's points
  // enter the results. Returns the results ordered by distance (ties: earlier found first,
  // NaN last); empty when the graph has no entry point or the entry point has no point.
  std::vector<Candidate> search(const Query& query, std::uint64_t bound,
                                const PointTable& points, TenantRef tenant) const;

 private:
  // uppers_ holds, by slot, where the node's upper lists are in upper_, or one of these.
  static constexpr std::uint32_t NO_NODE = UINT32_MAX;
  static constexpr std::uint32_t NO_UPPER = UINT32_MAX - 1;
  // A row's first cell holds the list length, or LONG_LIST when the list is longer than the
  // row (only a loaded graph can have such lists) and lives in overflow_ at the index held in
  // the second cell.
  static constexpr Slot LONG_LIST = UINT32_MAX;

  Slot* row(Slot slot) const { return rows_.at(slot); }
  std::span<const Slot> upper_neighbors(Slot slot, std::size_t layer) const;
  void store_layer0(Slot slot, std::span<const Slot> links);
  std::vector<Slot>& upper_list(Slot slot, std::size_t layer);  // layer >= 1, created if needed
  void add_link(Slot owner, std::uint64_t layer, Slot target, const detail::KnownOfLink& known,
                const PointTable& points);
  // How many surviving nodes (up to `enough`) list `slot` on layer 0.
  std::size_t ways_in(Slot slot, const detail::SlotSet& doomed, std::size_t enough) const;
  // Links `slot` on layer 0 from the nearest node that `may_host` accepts among those it
  // links to, or else among those they link to: appended where the host's list has room, or
  // else in place of its farthest link that may_drop(host, link) accepts. Returns the host;
  // none when no node could take it.
  std::optional<Slot> link_from_near_nodes(Slot slot, const PointTable& points,
                                           const std::function<bool(Slot)>& may_host,
                                           const std::function<bool(Slot, Slot)>& may_drop);
  // Links every node with a point that the entry point cannot reach over layer 0 back in.
  void reconnect(const PointTable& points);
  void insert_round(std::span<const Slot> slots, std::span<const std::uint64_t> levels,
                    const PointTable& points, const ParallelFor& parallel_for);
  void drop_node(Slot slot);
  void choose_entry_point(const PointTable& points);

  SlotColumn<std::uint32_t> uppers_;         // by slot
  SlotBits settled_;  // by slot: the layer-0 list is settled (see add_link_to_list)
  std::uint64_t replacements_seen_ = 0;  // the point table's replacements when settled_ was valid
  std::unordered_map<Slot, PointId> own_ids_;  // node ids that differ from their slot's key
  SlotArena<Slot> rows_;  // layer-0 rows of nodes; 1 + links per row, fixed by the first node
  std::vector<std::vector<Slot>> overflow_;
  std::vector<std::vector<std::vector<Slot>>> upper_;  // upper lists of nodes above layer 0
  std::size_t node_count_ = 0;
  InLinks in_links_;  // built by the first removal, dropped by a long run of insertions
  // Removals relink the nodes they leave without a way in, but now and then a few nodes are
  // left that only link one another; insertion's pruning strands some too. A sweep of the
  // whole graph after every sixteenth of its size in removals links them back in, for 2 to
  // 3% of the removals' own cost.
  static constexpr std::size_t RECONNECTION_MIN = 256;
  static constexpr std::size_t RECONNECTION_SHARE = 16;
  std::size_t removed_since_reconnection_ = 0;
};

}  // namespace tarnwick
