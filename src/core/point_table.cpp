#include "core/point_table.hpp"

#include <sys/random.h>

#include <algorithm>

#include "core/distance.hpp"

namespace tarnwick {

namespace {

constexpr std::size_t INITIAL_INDEX_SIZE = 16;
// Replaced vectors leave holes in the arena; compact once they outweigh the live data.
constexpr std::size_t MIN_DEAD_FLOATS_TO_COMPACT = std::size_t{1} << 16;

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
  std::vector<Slot> old = std::move(index_);
  index_.assign(old.size() * 2, NO_SLOT);
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
  if (keys_.size() >= NO_SLOT) {
    return std::nullopt;
  }
  const auto slot = static_cast<Slot>(keys_.size());
  keys_.push_back(key);
  point_ids_.push_back(key);
  has_point_.push_back(0);
  offsets_.push_back(0);
  lengths_.push_back(0);
  norms_.push_back(-0.0f);
  payloads_.emplace_back();
  tenant_of_.push_back(NO_TENANT);
  index_[position] = slot;
  // Keep the load factor at or below one half so probes stay short.
  if (keys_.size() * 2 > index_.size()) {
    grow_index();
  }
  return slot;
}

std::optional<Slot> PointTable::insert(PointId key, Point point) {
  std::optional<Slot> slot = slot_for(key);
  if (!slot) {
    return std::nullopt;
  }
  if (has_point_[*slot] == 0) {
    has_point_[*slot] = 1;
    ++point_count_;
  }
  place_vector(*slot, point.vector);
  point_ids_[*slot] = point.id;
  norms_[*slot] = sum_squares(point.vector.data(), point.vector.size());
  payloads_[*slot] = point.payload ? std::make_unique<Payload>(std::move(*point.payload)) : nullptr;
  set_tenant(*slot, tarnwick::tenant_of(payloads_[*slot].get()));
  return slot;
}

void PointTable::place_vector(Slot slot, const std::vector<float>& values) {
  if (lengths_[slot] == values.size()) {
    std::copy(values.begin(), values.end(), arena_.begin() + static_cast<std::ptrdiff_t>(offsets_[slot]));
    return;
  }
  dead_floats_ += lengths_[slot];
  offsets_[slot] = arena_.size();
  lengths_[slot] = values.size();
  arena_.insert(arena_.end(), values.begin(), values.end());
  if (dead_floats_ >= MIN_DEAD_FLOATS_TO_COMPACT && dead_floats_ * 2 > arena_.size()) {
    compact_arena();
  }
}

void PointTable::compact_arena() {
  std::vector<float> packed;
  packed.reserve(arena_.size() - dead_floats_);
  for (std::size_t slot = 0; slot < keys_.size(); ++slot) {
    const std::size_t offset = packed.size();
    packed.insert(packed.end(), arena_.begin() + static_cast<std::ptrdiff_t>(offsets_[slot]),
                  arena_.begin() + static_cast<std::ptrdiff_t>(offsets_[slot] + lengths_[slot]));
    offsets_[slot] = offset;
  }
  arena_ = std::move(packed);
  dead_floats_ = 0;
}

void PointTable::set_tenant(Slot slot, std::optional<std::string_view> name) {
  TenantRef old_ref = tenant_of_[slot];
  if (old_ref != NO_TENANT) {
    if (name && tenants_[old_ref].name == *name) {
      return;
    }
    std::vector<Slot>& slots = tenants_[old_ref].slots;
    slots.erase(std::lower_bound(slots.begin(), slots.end(), slot));
    tenant_of_[slot] = NO_TENANT;
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
  tenant_of_[slot] = found->second;
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
  return Point{point_ids_[slot], std::vector<float>(values.begin(), values.end()),
               stored ? std::optional<Payload>(*stored) : std::nullopt};
}

}  // namespace tarnwick
