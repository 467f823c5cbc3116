// Entries of the walks' working lists and of neighbour selection, shared by both.
#pragma once

#include <cstdint>

#include "core/point_table.hpp"

namespace tarnwick::detail {

// An entry of a working list. `key` is the distance rank in the high half and the order of
// arrival in the low half, so equal distances keep the order in which they were found.
struct Entry {
  std::uint64_t key;
  float distance;
  Slot slot;
};

inline std::uint32_t rank_of(const Entry& entry) { return static_cast<std::uint32_t>(entry.key >> 32); }

// Function objects rather than functions, so that heap and sort code inlines the compare.
inline constexpr auto nearer_first = [](const Entry& a, const Entry& b) { return a.key < b.key; };
inline constexpr auto farther_first = [](const Entry& a, const Entry& b) { return a.key > b.key; };

}  // namespace tarnwick::detail
