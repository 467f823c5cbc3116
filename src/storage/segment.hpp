// The store: the point table and the graph, each behind its own reader-writer lock.
//
// Lock order is always points, then index; release in reverse. The index lock is never
// taken alone, so structures shared by both (the slot numbers) only change under both.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/point_table.hpp"
#include "core/rwlock.hpp"
#include "index/exact.hpp"
#include "index/hnsw.hpp"

namespace tarnwick {

// Stores with fewer points than this (and tenants with fewer) are searched exactly.
inline constexpr std::size_t HNSW_SEARCH_THRESHOLD = 500;

enum class UpsertResult { Stored, TableFull };

class Segment {
 public:
  // Stores the point under `id`, replacing any previous one, and links it into the graph.
  UpsertResult upsert(PointId id, std::vector<float> vector, std::optional<Payload> payload);

  // Removes the points stored under `ids` (repeats and absent ids allowed) with their graph
  // nodes, repairing the graph at once; returns how many were removed. A store emptied this
  // way is exactly a new one, its graph parameters kept.
  std::size_t remove(std::span<const PointId> ids);

  // The best `limit` points for the query under `metric`, best first; never fails.
  std::vector<ScoredPoint> search(std::span<const float> query, std::uint64_t limit,
                                  Metric metric, std::optional<std::string_view> tenant) const;

  // Writes the whole store to the snapshot file at `path`. Returns the failure message
  // (prefix and reason), or nullopt on success.
  std::optional<std::string> save_to_disk(const std::string& path) const;
  // Replaces the whole store with the snapshot at `path`; on failure returns the message
  // and leaves the store as it was.
  std::optional<std::string> load_from_disk(const std::string& path);

  // The whole store as snapshot bytes, encoded under both read locks.
  std::string encode() const;
  // Replaces the whole store with the snapshot in `bytes`: decodes with no lock held, then
  // swaps both tables in under the write locks. On failure returns the reason (a decode
  // error's text, or "out of memory") and leaves the store as it was.
  std::optional<std::string> load_bytes(std::string_view bytes);

 private:
  mutable RwLock points_lock_;
  PointTable points_;  // guarded by points_lock_
  mutable RwLock index_lock_;
  HNSWIndex index_;    // guarded by index_lock_
};

}  // namespace tarnwick
