#include "core/point_table.hpp"

#include <sys/random.h>

#include <algorithm>

#include "core/distance.hpp"

namespace tarnwick {

namespace {

constexpr std::size_t INITIAL_INDEX_SIZE = 16;
// Replaced vectors leave holes in the arena; compact once they outweigh the live data.
constexpr std::size_t MIN_DEAD_FLOATS_TO_COMPACT = std::size_t{1} << 16;
// A new chunk holds a quarter of what the arena has, within these bounds (in floats): small
// stores stay small, and large chunks are touched only as they fill.
constexpr std::size_t MIN_CHUNK = std::size_t{1} << 10;
constexpr std::size_t MAX_CHUNK = std::size_t{1} << 20;

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
  records_.emplace_back();
  payloads_.emplace_back();
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
  records_[*slot].norm = sum_squares(point.vector.data(), point.vector.size());
  payloads_[*slot] = point.payload ? std::make_unique<Payload>(std::move(*point.payload)) : nullptr;
  set_tenant(*slot, tarnwick::tenant_of(payloads_[*slot].get()));
  return slot;
}

float* PointTable::allocate_floats(std::size_t count) {
  if (count == 0) {
    return nullptr;
  }
  if (chunks_.empty() || chunks_.back().capacity - chunk_used_ < count) {
    if (!chunks_.empty()) {
      dead_floats_ += chunks_.back().capacity - chunk_used_;
    }
    const std::size_t capacity = std::max(count, std::clamp(arena_floats_ / 4, MIN_CHUNK, MAX_CHUNK));
    chunks_.push_back(Chunk{std::make_unique_for_overwrite<float[]>(capacity), capacity});
    arena_floats_ += capacity;
    chunk_used_ = 0;
  }
  float* place = chunks_.back().floats.get() + chunk_used_;
  chunk_used_ += count;
  return place;
}

void PointTable::place_vector(Slot slot, const std::vector<float>& values) {
  Record& record = records_[slot];
  if (record.length != values.size()) {
    dead_floats_ += record.length;
    record.data = allocate_floats(values.size());
    record.length = values.size();
  }
  std::copy(values.begin(), values.end(), record.data);
  if (dead_floats_ >= MIN_DEAD_FLOATS_TO_COMPACT && dead_floats_ * 2 > arena_floats_) {
    compact_arena();
  }
}

void PointTable::compact_arena() {
  std::size_t live = 0;
  for (const Record& record : records_) {
    live += record.length;
  }
  std::vector<Chunk> old = std::move(chunks_);
  chunks_.clear();
  chunk_used_ = 0;
  arena_floats_ = 0;
  dead_floats_ = 0;
  if (live != 0) {
    chunks_.push_back(Chunk{std::make_unique_for_overwrite<float[]>(live), live});
    arena_floats_ = live;
  }
  for (Record& record : records_) {
    float* place = allocate_floats(record.length);
    std::copy(record.data, record.data + record.length, place);
    record.data = place;
  }
}

void PointTable::set_tenant(Slot slot, std::optional<std::string_view> name) {
  TenantRef& tenant_ref = records_[slot].tenant;
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
  return Point{point_ids_[slot], std::vector<float>(values.begin(), values.end()),
               stored ? std::optional<Payload>(*stored) : std::nullopt};
}

}  // namespace tarnwick
