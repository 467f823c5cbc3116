// The point table: identifier -> point, stored for fast scans.
//
// Every identifier the store has seen gets a dense slot number. Vectors live one after the
// other in a single arena, with their squared norms computed once when they are stored.
// The graph refers to points by slot, so following a link needs no hash look-up. A slot may
// exist without a point: a snapshot can name identifiers in links that no point has.
// What a distance needs (where the vector is, its length and norm) sits in one record per
// slot, so scoring a neighbour touches one record and then its vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/vector.hpp"

namespace tarnwick {

using Slot = std::uint32_t;
// Slots are numbered below this; it is never a valid slot.
inline constexpr Slot NO_SLOT = UINT32_MAX;

// A tenant known to the table, resolved once per query so that the per-point test is an
// integer compare.
using TenantRef = std::uint32_t;
inline constexpr TenantRef NO_TENANT = UINT32_MAX;

class PointTable {
 public:
  PointTable();

  // The slot that holds `key`, if the table has seen it.
  std::optional<Slot> find(PointId key) const;
  // The slot for `key`, created without a point if new; nullopt when no slot is left.
  std::optional<Slot> slot_for(PointId key);
  // Insert-or-replace the point stored under `key`; the previous point is discarded whole.
  // Returns its slot, or nullopt (and changes nothing) when no slot is left.
  std::optional<Slot> insert(PointId key, Point point);

  std::size_t size() const { return point_count_; }  // number of points
  std::size_t slot_count() const { return keys_.size(); }

  bool has_point(Slot slot) const { return has_point_[slot] != 0; }
  PointId key(Slot slot) const { return keys_[slot]; }
  PointId point_id(Slot slot) const { return point_ids_[slot]; }
  std::span<const float> vector(Slot slot) const { return {records_[slot].data, records_[slot].length}; }
  float norm_squared(Slot slot) const { return records_[slot].norm; }
  const Payload* payload(Slot slot) const { return payloads_[slot].get(); }
  // A copy of the stored point; the slot must hold one.
  Point point(Slot slot) const;

  // The tenant with these bytes, if any stored point has ever named it.
  std::optional<TenantRef> tenant(std::string_view name) const;
  TenantRef tenant_of(Slot slot) const { return records_[slot].tenant; }
  // The slots of a tenant's points, ascending.
  std::span<const Slot> tenant_slots(TenantRef tenant) const { return tenants_[tenant].slots; }

 private:
  struct Tenant {
    std::string name;
    std::vector<Slot> slots;  // ascending
  };

  struct Record {
    float* data = nullptr;  // in one of the arena's chunks
    std::size_t length = 0;
    float norm = -0.0f;  // sum_squares of the vector
    TenantRef tenant = NO_TENANT;
  };

  // Vectors are stored in chunks that are never moved, so growing the arena neither copies
  // it nor holds it twice; each vector lies within one chunk.
  struct Chunk {
    std::unique_ptr<float[]> floats;
    std::size_t capacity;
  };

  std::size_t find_position(PointId key) const;  // open-addressing probe
  void grow_index();
  float* allocate_floats(std::size_t count);
  void place_vector(Slot slot, const std::vector<float>& values);
  void compact_arena();
  void set_tenant(Slot slot, std::optional<std::string_view> name);

  // Open-addressing hash index from key to slot; keys are hashed with a per-table random seed.
  std::vector<Slot> index_;  // NO_SLOT marks an empty position; size is a power of two
  std::uint64_t seed_;

  // Per-slot columns.
  std::vector<PointId> keys_;
  std::vector<PointId> point_ids_;
  std::vector<std::uint8_t> has_point_;
  std::vector<Record> records_;
  std::vector<std::unique_ptr<Payload>> payloads_;  // null when absent

  std::vector<Chunk> chunks_;     // the arena: all vectors; the last chunk is being filled
  std::size_t chunk_used_ = 0;    // floats in use in the last chunk
  std::size_t arena_floats_ = 0;  // capacity of all chunks
  std::size_t dead_floats_ = 0;   // arena space of replaced vectors and chunk ends, reclaimed by compaction
  std::size_t point_count_ = 0;

  std::unordered_map<std::string, TenantRef> tenant_refs_;
  std::vector<Tenant> tenants_;
};

}  // namespace tarnwick
