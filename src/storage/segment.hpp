// The store: the point table and the graph, each behind its own reader-writer lock.
//
// Lock order is always points, then index; release in reverse. The index lock is never
// taken alone, so structures shared by both (the slot numbers) only change under both.
#pragma once

#include <atomic>
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
#include "storage/cancel_token.hpp"

namespace tarnwick {

// Stores with fewer points than this (and tenants with fewer) are searched exactly.
inline constexpr std::size_t HNSW_SEARCH_THRESHOLD = 500;

enum class UpsertResult { Stored, TableFull };

// The graph's parameters for a new store (a loaded snapshot brings its own).
struct GraphParameters {
  std::uint64_t m = 16;
  std::uint64_t ef_construction = 64;
  std::uint64_t ef_search = 32;
};

// How one search runs beyond its query.
struct SearchOptions {
  std::optional<std::uint64_t> ef_search;  // the graph's result bound for this call alone
  bool with_payload = false;               // copy each result's payload into the answer
};

struct SearchAnswer {
  std::vector<ScoredPoint> points;
  std::vector<std::optional<Payload>> payloads;  // one per point with with_payload, else empty
};

class Segment {
 public:
  // `dim`, when set, is the one vector length the store accepts; callers check it (it never
  // changes, so no lock is needed for that) and load refuses snapshots with other lengths.
  explicit Segment(GraphParameters graph = {}, std::optional<std::size_t> dim = std::nullopt);

  std::optional<std::size_t> dim() const { return dim_; }
  GraphParameters graph_parameters() const;
  std::size_t size() const;
  bool contains(PointId id) const;
  // A copy of the point stored under `id`, if any.
  std::optional<Point> get(PointId id) const;

  // Stores the point under `id`, replacing any previous one, and links it into the graph.
  UpsertResult upsert(PointId id, std::vector<float> vector, std::optional<Payload> payload);

  // Stores many points as upsert would, one per id (of repeated ids the later wins), with
  // their graph nodes linked in parallel on the worker pool while both write locks are held;
  // `done` counts the points in place, out of as many as there are distinct ids. Fails,
  // changing nothing, only when the table could not hold them all.
  UpsertResult upsert_many(std::span<const PointId> ids, std::vector<std::vector<float>> vectors,
                           std::vector<std::optional<Payload>> payloads,
                           std::atomic<std::size_t>& done);

  // Removes the points stored under `ids` (repeats and absent ids allowed) with their graph
  // nodes, repairing the graph at once; returns how many were removed. A store emptied this
  // way is exactly a new one, its graph parameters kept.
  std::size_t remove(std::span<const PointId> ids);

  // The best `limit` points for the query under `metric`, best first; never fails.
  std::vector<ScoredPoint> search(std::span<const float> query, std::uint64_t limit,
                                  Metric metric, std::optional<std::string_view> tenant) const {
    return search(query, limit, metric, tenant, SearchOptions{}).points;
  }
  SearchAnswer search(std::span<const float> query, std::uint64_t limit, Metric metric,
                      std::optional<std::string_view> tenant, const SearchOptions& options) const;

  // Writes the whole store to the snapshot file at `path`. Returns the failure message
  // (prefix and reason), or nullopt on success. A cancelled save fails and leaves the
  // target and its directory as they were, unless it had already committed (renamed).
  std::optional<std::string> save_to_disk(const std::string& path,
                                          CancelToken* cancel = nullptr) const;
  // Replaces the whole store with the snapshot at `path`; on failure returns the message
  // and leaves the store as it was. A cancelled load fails unless it had already committed.
  std::optional<std::string> load_from_disk(const std::string& path,
                                            CancelToken* cancel = nullptr);

  // The whole store as snapshot bytes, encoded under both read locks.
  std::string encode() const;
  // Replaces the whole store with the snapshot in `bytes`: decodes with no lock held, then
  // swaps both tables in under the write locks. On failure returns the reason (a decode
  // error's text, or "out of memory") and leaves the store as it was.
  std::optional<std::string> load_bytes(std::string_view bytes, CancelToken* cancel = nullptr);

 private:
  const std::optional<std::size_t> dim_;
  mutable RwLock points_lock_;
  PointTable points_;  // guarded by points_lock_
  mutable RwLock index_lock_;
  HNSWIndex index_;    // guarded by index_lock_
};

}  // namespace tarnwick
