// The HNSW graph: nodes with per-layer neighbour lists, insertion and walks.
//
// The graph always navigates by cosine distance, whatever metric a query names. Nodes and
// links are addressed by the point table's slots, so following a link is an array access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/point_table.hpp"

namespace tarnwick {

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

// A query vector with its sum of squares, computed once per query.
struct Query {
  std::span<const float> values;
  float norm_squared = -0.0f;
};
Query make_query(std::span<const float> values);

// The cosine distance between a query and a stored point, from the stored squared norm:
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

class HNSWIndex {
 public:
  std::uint64_t m = 16;                // link cap per list: m above layer 0, 2m on layer 0
  std::uint64_t ef_construction = 64;  // beam width while inserting
  std::uint64_t ef_search = 32;        // beam width of the bottom-layer search
  std::optional<Slot> entry_point;     // where every walk starts
  std::uint64_t max_level = 0;         // highest layer in use

  bool has_node(Slot slot) const { return slot < nodes_.size() && nodes_[slot].has_value(); }
  const HNSWNode& node(Slot slot) const { return *nodes_[slot]; }
  // Stores a node under `slot`, replacing any node there (used when loading).
  void set_node(Slot slot, HNSWNode node);
  std::size_t node_count() const { return node_count_; }

  // Adds the point stored under `slot` (already in `points`) to the graph at a random level.
  void insert(Slot slot, const PointTable& points);
  // The same at a given level, for tests that build graphs by hand.
  void insert_at_level(Slot slot, const PointTable& points, std::uint64_t level);

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
  std::vector<std::optional<HNSWNode>> nodes_;  // by slot
  std::size_t node_count_ = 0;
};

}  // namespace tarnwick
