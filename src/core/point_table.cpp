#include "core/point_table.hpp"

#include <sys/random.h>

#include <algorithm>

#include "core/bound.hpp"
#include "core/distance.hpp"

namespace tarnwick {

namespace {

constexpr std::size_t INITIAL_INDEX_SIZE = 16;

std::uint64_t random_seed() {
  std::uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
    seed = reinterpret_cast<std::uintptr_t>(&seed) ^ 0x9E3779B97F4A7C15ULL;
  }
  return seed;
}

// splitmix64 finaliser over the seeded key.
std::uint64_t mix(std::uint64_t key, std::uint64_t seed) {
  std::uint64_t z = key ^ seed;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

PointTable::PointTable() : index_(INITIAL_INDEX_SIZE, NO_SLOT), seed_(random_seed()) {}

std::size_t PointTable::find_position(PointId key) const {
  const std::size_t mask = index_.size() - 1;
  std::size_t position = mix(key, seed_) & mask;
  while (index_[position] != NO_SLOT && keys_[index_[position]] != key) {
    position = (position + 1) & mask;
  }
  return position;
}

std::optional<Slot> PointTable::find(PointId key) const {
  Slot slot = index_[find_position(key)];
  if (slot == NO_SLOT) {
    return std::nullopt;
  }
  return slot;
}

void PointTable::grow_index() {
  std::vector<Slot> old(index_.size() * 2, NO_SLOT);
  old.swap(index_);
  for (Slot slot : old) {
    if (slot != NO_SLOT) {
      index_[find_position(keys_[slot])] = slot;
    }
  }
}

std::optional<Slot> PointTable::slot_for(PointId key) {
  std::size_t position = find_position(key);
  if (index_[position] != NO_SLOT) {
    return index_[position];
  }
  if (!free_slots_.empty()) {
    const Slot slot = free_slots_.back();
    free_slots_.pop_back();
    keys_[slot] = key;
    index_[position] = slot;
    return slot;
  }
  if (keys_.size() >= NO_SLOT) {
    return std::nullopt;
  }
  const auto slot = static_cast<Slot>(keys_.size());
  // Room first, so that running out of memory leaves every column as it was.
  std::int8_t* row = dimension_ != 0 ? codes_.place(slot) : nullptr;
  keys_.make_room();
  flags_.make_room();
  roots_.make_room();
  tenant_refs_by_slot_.make_room();
  payloads_.make_room();
  keys_.push_back(key);
  flags_.push_back(0);
  roots_.push_back(-0.0f);
  tenant_refs_by_slot_.push_back(NO_TENANT);
  payloads_.push_back(nullptr);
  if (row != nullptr) {
    clear_row(dimension_, row);
  }
  index_[position] = slot;
  // A load factor of up to four fifths keeps the index near 5 bytes per point while probes
  // stay short.
  if (keys_.size() * 5 > index_.size() * 4) {
    grow_index();
  }
  return slot;
}

std::optional<Slot> PointTable::insert(PointId key, Point point) {
  std::optional<Slot> slot = slot_for(key);
  if (!slot) {
    return std::nullopt;
  }
  auto payload = point.payload ? std::make_unique<Payload>(std::move(*point.payload)) : nullptr;
  const float squares = sum_squares(point.vector.data(), point.vector.size());
  place_vector(*slot, point.vector, squares);
  if (!has_point(*slot)) {
    flags_[*slot] |= HAS_POINT;
    ++point_count_;
  } else {
    ++replacements_;
  }
  set_id(*slot, point.id);
  roots_[*slot] = std::sqrt(squares);
  payloads_[*slot] = std::move(payload);
  set_tenant(*slot, tarnwick::tenant_of(payloads_[*slot].get()));
  return slot;
}

// Backward-shift deletion: entries after the emptied position that probed past it move back,
// so every probe sequence stays unbroken without tombstones.
void PointTable::remove_position(std::size_t position) {
  const std::size_t mask = index_.size() - 1;
  index_[position] = NO_SLOT;
  for (std::size_t next = (position + 1) & mask; index_[next] != NO_SLOT; next = (next + 1) & mask) {
    const std::size_t home = mix(keys_[index_[next]], seed_) & mask;
    // The entry may fill the hole unless its home lies cyclically in (position, next].
    if (((next - home) & mask) >= ((next - position) & mask)) {
      index_[position] = index_[next];
      index_[next] = NO_SLOT;
      position = next;
    }
  }
}

bool PointTable::erase(PointId key) {
  const std::size_t position = find_position(key);
  const Slot slot = index_[position];
  if (slot == NO_SLOT || !has_point(slot)) {
    return false;
  }
  free_slots_.push_back(slot);  // first: running out of memory then changes nothing
  remove_position(position);
  set_tenant(slot, std::nullopt);
  own_ids_.erase(slot);
  odd_vectors_.erase(slot);
  payloads_[slot].reset();
  roots_[slot] = -0.0f;
  clear_code(slot);
  flags_[slot] = 0;
  --point_count_;
  return true;
}

std::span<const float> PointTable::odd_vector(Slot slot) const {
  auto found = odd_vectors_.find(slot);
  if (found == odd_vectors_.end()) {
    return {};
  }
  return found->second;
}

void PointTable::place_vector(Slot slot, const std::vector<float>& values, float squares) {
  if (dimension_ == 0 && !values.empty()) {
    set_dimension(values.size());
  }
  if (!values.empty() && values.size() == dimension_) {
    // Both places first, so that running out of memory leaves the slot as it was.
    float* place = arena_.place(slot);
    encode_row(values, squares, codes_.place(slot));
    std::copy(values.begin(), values.end(), place);
    if ((flags_[slot] & IN_ARENA) == 0) {
      odd_vectors_.erase(slot);
      flags_[slot] |= IN_ARENA;
    }
    return;
  }
  if (values.empty()) {
    odd_vectors_.erase(slot);
  } else {
    odd_vectors_[slot] = values;
  }
  clear_code(slot);
  flags_[slot] &= ~IN_ARENA;
}

// Every slot seen so far gets a row without a code; the common length is set only once they
// all have one, so running out of memory leaves it unset.
void PointTable::set_dimension(std::size_t dimension) {
  codes_.reset(code_row_bytes(dimension), true);
  for (Slot slot = 0; slot < slot_count(); ++slot) {
    clear_row(dimension, codes_.place(slot));
  }
  arena_.reset(dimension, true);
  dimension_ = dimension;
}

void PointTable::clear_code(Slot slot) {
  if (dimension_ != 0) {
    clear_row(dimension_, codes_.at(slot));
  }
}

void PointTable::set_id(Slot slot, PointId id) {
  if (id != keys_[slot]) {
    own_ids_[slot] = id;
    flags_[slot] |= OWN_ID;
  } else if ((flags_[slot] & OWN_ID) != 0) {
    own_ids_.erase(slot);
    flags_[slot] &= ~OWN_ID;
  }
}

void PointTable::set_tenant(Slot slot, std::optional<std::string_view> name) {
  TenantRef& tenant_ref = tenant_refs_by_slot_[slot];
  const TenantRef old_ref = tenant_ref;
  if (old_ref != NO_TENANT) {
    if (name && tenants_[old_ref].name == *name) {
      return;
    }
    std::vector<Slot>& slots = tenants_[old_ref].slots;
    slots.erase(std::lower_bound(slots.begin(), slots.end(), slot));
    tenant_ref = NO_TENANT;
  }
  if (!name) {
    return;
  }
  auto [found, added] = tenant_refs_.try_emplace(std::string(*name), static_cast<TenantRef>(tenants_.size()));
  if (added) {
    tenants_.push_back(Tenant{std::string(*name), {}});
  }
  std::vector<Slot>& slots = tenants_[found->second].slots;
  slots.insert(std::lower_bound(slots.begin(), slots.end(), slot), slot);
  tenant_ref = found->second;
}

std::optional<TenantRef> PointTable::tenant(std::string_view name) const {
  auto found = tenant_refs_.find(std::string(name));
  if (found == tenant_refs_.end()) {
    return std::nullopt;
  }
  return found->second;
}

Point PointTable::point(Slot slot) const {
  std::span<const float> values = vector(slot);
  const Payload* stored = payload(slot);
  return Point{point_id(slot), std::vector<float>(values.begin(), values.end()),
               stored ? std::optional<Payload>(*stored) : std::nullopt};
}

}  // namespace tarnwick
