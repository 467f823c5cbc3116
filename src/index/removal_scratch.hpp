// Working memory of node removal.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/point_table.hpp"

namespace tarnwick::detail {

// A set of slots sized to what it holds, so that it stays in cache however many slots the
// graph has: open addressing with linear probing, at most half full.
class SlotSet {
 public:
  // Empties the set, sized for about `expected` slots (it grows past them as needed).
  void clear(std::size_t expected) {
    cells_.assign(std::bit_ceil(std::max<std::size_t>(2 * expected, MIN_CELLS)), EMPTY);
    size_ = 0;
  }
  // False when `slot` was in the set already.
  bool insert(Slot slot) {
    if (2 * (size_ + 1) > cells_.size()) {
      grow();
    }
    std::size_t i = home(slot);
    for (; cells_[i] != EMPTY; i = (i + 1) & (cells_.size() - 1)) {
      if (cells_[i] == slot) {
        return false;
      }
    }
    cells_[i] = slot;
    ++size_;
    return true;
  }
  bool contains(Slot slot) const {
    for (std::size_t i = home(slot); cells_[i] != EMPTY; i = (i + 1) & (cells_.size() - 1)) {
      if (cells_[i] == slot) {
        return true;
      }
    }
    return false;
  }

 private:
  static constexpr Slot EMPTY = UINT32_MAX;  // never a slot: slots index smaller tables
  static constexpr std::size_t MIN_CELLS = 64;

  std::size_t home(Slot slot) const {
    return (std::uint64_t{slot} * 0x9E3779B97F4A7C15ull >> 32) & (cells_.size() - 1);
  }
  void grow() {
    std::vector<Slot> old = std::move(cells_);
    cells_.assign(std::max<std::size_t>(2 * old.size(), MIN_CELLS), EMPTY);
    size_ = 0;
    for (Slot slot : old) {
      if (slot != EMPTY) {
        insert(slot);
      }
    }
  }

  std::vector<Slot> cells_ = std::vector<Slot>(MIN_CELLS, EMPTY);
  std::size_t size_ = 0;
};

// A list to choose again: its owner's, on one layer.
struct ListRepair {
  Slot owner;
  std::uint32_t layer;
};

// What a repair chose for its list, and how that differs from the list as it stood.
struct RepairedList {
  bool needed = false;  // the list named a removed slot
  std::vector<Slot> chosen;
  std::vector<Slot> added;    // chosen, not listed before
  std::vector<Slot> dropped;  // listed before, neither chosen nor removed
};

struct RemovalScratch {
  SlotSet doomed;    // the slots being removed
  SlotSet seen;      // one list's candidates, then its chosen links
  SlotSet listed;    // one list's links before its repair
  SlotSet relinked;  // slots some repaired layer-0 list links to
  std::vector<Slot> owners;
  std::vector<ListRepair> repairs;
  std::vector<RepairedList> repaired;  // of the repairs being applied, by position
  std::vector<Slot> candidates;        // of one repair
  std::vector<Slot> exposed;
};

}  // namespace tarnwick::detail
