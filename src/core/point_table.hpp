// The point table: identifier -> point, stored for fast scans.
//
// Every identifier the store has seen gets a dense slot number, and the graph refers to
// points by slot, so following a link needs no hash look-up. A slot may exist without a
// point: a snapshot can name identifiers in links that no point has. An erased point's slot
// is given out again, first, to the next new identifier, so a store under churn does not grow.
// Vectors of the store's common length (the first one stored sets it) sit in an arena at a
// place computed from the slot alone, so a scan or a graph walk reaches a vector without
// first reading a per-point record. Vectors of any other length are kept apart.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/slot_arena.hpp"
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
  // Removes the point stored under `key` and frees its slot for reuse; false (and no change)
  // when no point is stored under it. The caller must have dropped every reference to the
  // slot (graph nodes and links) first.
  bool erase(PointId key);

  std::size_t size() const { return point_count_; }  // number of points
  // How many times a stored point has been replaced: distances to its slot may have changed.
  std::uint64_t replacements() const { return replacements_; }
  std::size_t slot_count() const { return keys_.size(); }

  bool has_point(Slot slot) const { return (flags_[slot] & HAS_POINT) != 0; }
  PointId key(Slot slot) const { return keys_[slot]; }
  // The point's own identifier field, which a snapshot may set apart from its key.
  PointId point_id(Slot slot) const { return (flags_[slot] & OWN_ID) != 0 ? own_ids_.at(slot) : keys_[slot]; }
  std::span<const float> vector(Slot slot) const {
    if ((flags_[slot] & IN_ARENA) != 0) {
      return {arena_.at(slot), dimension_};
    }
    return odd_vector(slot);
  }
  // The square root of the vector's sum of squares, taken once when the point is stored:
  // every cosine distance needs it, and a root per distance costs a walk about a sixth of
  // its time.
  float norm_root(Slot slot) const { return roots_[slot]; }
  // The code row of a vector of the common length (see bound.hpp), kept in its own
  // slot-addressed rows so that bounding a point reads d bytes instead of 4 * d. Derived from
  // the vector whenever it is stored, never saved. Once the common length is known every slot
  // has a row, and a row holds a code only while the slot's vector is in the arena: a walk
  // reads the row alone for a point its code turns away, not the slot's flags too.
  const std::int8_t* code_row(Slot slot) const { return codes_.at(slot); }
  // Where the slot's vector lies when it is in the arena, as in_arena or a code in its row
  // says: an address that may be prefetched before either is known.
  const float* arena_place(Slot slot) const { return arena_.at(slot); }
  // The common length: vectors of it have code rows (when they are in the arena).
  std::size_t dimension() const { return dimension_; }
  bool in_arena(Slot slot) const { return (flags_[slot] & IN_ARENA) != 0; }
  // Calls visit(slot, row) for every slot that holds a point, in slot order, with the slot's
  // code row, or null when its vector is not in the arena. It steps through the columns a
  // chunk at a time: a full scan then pays no address computation per slot.
  template <class Visit>
  void for_each_point_row(Visit visit) const {
    const std::uint64_t count = slot_count();
    const std::uintptr_t stride = codes_.stride();
    for (std::uint64_t slot = 0; slot < count;) {
      const auto first = static_cast<Slot>(slot);
      const std::uint64_t end = std::min({count, flags_.chunk_end(first), codes_.chunk_end(first)});
      const std::uint8_t* flags = &flags_[first];
      // An address, not a pointer, until a slot in the arena shows that its chunk exists.
      std::uintptr_t row = reinterpret_cast<std::uintptr_t>(codes_.at(first));
      for (; slot < end; ++slot, ++flags, row += stride) {
        if ((*flags & HAS_POINT) != 0) {
          const bool coded = (*flags & IN_ARENA) != 0;
          visit(static_cast<Slot>(slot), coded ? reinterpret_cast<const std::int8_t*>(row) : nullptr);
        }
      }
    }
  }
  // Starts fetching the root, for a caller that will read it after scoring the vector.
  void prefetch_root(Slot slot) const { __builtin_prefetch(&roots_[slot]); }
  const Payload* payload(Slot slot) const { return payloads_[slot].get(); }
  // A copy of the stored point; the slot must hold one.
  Point point(Slot slot) const;

  // The tenant with these bytes, if any stored point has ever named it.
  std::optional<TenantRef> tenant(std::string_view name) const;
  TenantRef tenant_of(Slot slot) const { return tenant_refs_by_slot_[slot]; }
  // The slots of a tenant's points, ascending.
  std::span<const Slot> tenant_slots(TenantRef tenant) const { return tenants_[tenant].slots; }

 private:
  struct Tenant {
    std::string name;
    std::vector<Slot> slots;  // ascending
  };

  // Per-slot flags.
  static constexpr std::uint8_t HAS_POINT = 1;
  static constexpr std::uint8_t IN_ARENA = 2;  // the vector has dimension_ floats, in the arena
  static constexpr std::uint8_t OWN_ID = 4;    // the point's id differs from the key: see own_ids_

  std::size_t find_position(PointId key) const;  // open-addressing probe
  void remove_position(std::size_t position);
  void grow_index();
  std::span<const float> odd_vector(Slot slot) const;
  void place_vector(Slot slot, const std::vector<float>& values, float squares);
  void set_dimension(std::size_t dimension);
  void clear_code(Slot slot);
  void set_id(Slot slot, PointId id);
  void set_tenant(Slot slot, std::optional<std::string_view> name);

  // Open-addressing hash index from key to slot; keys are hashed with a per-table random seed.
  std::vector<Slot> index_;  // NO_SLOT marks an empty position; size is a power of two
  std::uint64_t seed_;

  // Per-slot columns.
  SlotColumn<PointId> keys_;
  SlotColumn<std::uint8_t> flags_;
  SlotColumn<float> roots_;  // sqrt(sum_squares) of the vector
  SlotColumn<TenantRef> tenant_refs_by_slot_;
  SlotColumn<std::unique_ptr<Payload>> payloads_;  // null when absent

  // Vectors of dimension_ floats by slot; a replaced vector is overwritten in place.
  std::size_t dimension_ = 0;  // set by the first non-empty vector stored
  SlotArena<float> arena_;
  SlotArena<std::int8_t> codes_;  // code rows of the arena's vectors, by slot

  // The rare exceptions, by slot: ids that differ from their key, and vectors of other lengths.
  std::unordered_map<Slot, PointId> own_ids_;
  std::unordered_map<Slot, std::vector<float>> odd_vectors_;
  std::vector<Slot> free_slots_;  // erased slots, reused last-freed first
  std::size_t point_count_ = 0;
  std::uint64_t replacements_ = 0;

  std::unordered_map<std::string, TenantRef> tenant_refs_;
  std::vector<Tenant> tenants_;
};

}  // namespace tarnwick
