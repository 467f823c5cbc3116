// Working memory of the walks: visited marks by slot and the candidate and result lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/point_table.hpp"
#include "index/ranked_entry.hpp"

namespace tarnwick::detail {

// Per-slot state of one walk, 8 bytes so that many slots share a cache line. The flags
// count only when the tag's epoch is the walk's, so starting a walk empties every set at once.
inline constexpr std::uint32_t VISITED = 1;  // the slot was visited
inline constexpr std::uint32_t SCORED = 2;   // `distance` was set (or queued for the kernel)
inline constexpr std::uint32_t QUEUED = 4;   // the node's own neighbours were queued
inline constexpr std::uint32_t BOUNDED = 8;  // with SCORED: a bound proved it is turned away
inline constexpr std::uint32_t FLAG_BITS = 4;
inline constexpr std::uint32_t MAX_EPOCH = UINT32_MAX >> FLAG_BITS;

struct SlotMark {
  std::uint32_t tag = 0;  // epoch << FLAG_BITS | the flags set in that epoch
  float distance = 0.0f;  // cosine distance to the walk's query

  bool has(std::uint32_t flag, std::uint32_t epoch) const {
    return (tag >> FLAG_BITS) == epoch && (tag & flag) != 0;
  }
  void set(std::uint32_t flag, std::uint32_t epoch) {
    tag = ((tag >> FLAG_BITS) == epoch ? tag : epoch << FLAG_BITS) | flag;
  }
};

// A waiting candidate whose neighbours may be scored ahead.
struct Ahead {
  Slot slot;
  std::span<const Slot> list;
};

struct WalkScratch {
  std::vector<SlotMark> marks;  // by slot; cleared only when the epoch wraps
  std::size_t slot_limit = 0;   // slots of the walk's point table
  std::uint32_t epoch = 0;
  std::uint32_t arrivals = 0;

  std::vector<Entry> candidates;  // min-heap by key: the next node to expand on top
  std::vector<Entry> results;     // max-heap by key: the worst result on top
  std::vector<Entry> found;       // results of the last layer, nearest first

  std::vector<Slot> gathered;  // one neighbour list, its look-ups started
  std::vector<Ahead> ahead;    // waiting candidates about to be scored ahead
};

}  // namespace tarnwick::detail
