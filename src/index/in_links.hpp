// Which nodes list a slot, so that removing a node repairs only the lists that named it.
//
// Built in one pass over every list when a removal first needs it, so a graph that never
// loses a node pays nothing. Removals and insertions keep it up to date, so that deletes
// mixed with upserts do not each pay for a new build; a long run of insertions with no
// removal drops it, giving its memory back. Entries may be stale (a link pruned since, or
// its owner removed or replaced): users check the owner's list itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/point_table.hpp"

namespace tarnwick {

class HNSWIndex;

class InLinks {
 public:
  bool built() const { return !offsets_.empty(); }
  // Records every link of every node of `index`, whose slots are below `slot_count`.
  void build(const HNSWIndex& index, std::size_t slot_count);
  void clear();

  // Visits the nodes recorded as listing `target`, on any layer, possibly repeated, until
  // `visit` returns false.
  template <class Visit>
  void for_each_source(Slot target, Visit visit) const {
    if (target + std::size_t{1} < offsets_.size()) {
      for (std::size_t i = offsets_[target]; i < offsets_[target + 1]; ++i) {
        if (!visit(sources_[i])) {
          return;
        }
      }
    }
    if (target < latest_added_.size()) {
      for (std::uint32_t i = latest_added_[target]; i != NO_ENTRY; i = earlier_added_[i]) {
        if (!visit(added_sources_[i])) {
          return;
        }
      }
    }
  }
  // Starts fetching where the sources of `target` are recorded.
  void prefetch(Slot target) const {
    if (target + std::size_t{1} < offsets_.size()) {
      __builtin_prefetch(&offsets_[target]);
    }
    if (target < latest_added_.size()) {
      __builtin_prefetch(&latest_added_[target]);
    }
  }
  // Records a link from `source` to `target` made after the build.
  void add(Slot target, Slot source) {
    if (target >= latest_added_.size()) {
      latest_added_.resize(std::size_t{target} + 1, NO_ENTRY);
    }
    added_sources_.push_back(source);
    earlier_added_.push_back(latest_added_[target]);
    latest_added_[target] = static_cast<std::uint32_t>(added_sources_.size() - 1);
  }
  // Whether the links recorded since the build outgrow a quarter of those built (kept apart,
  // each takes twice the memory and a hop of its own to read): a new build then packs them in.
  bool worth_rebuilding() const { return added_sources_.size() > sources_.size() / 4; }
  void removal_seen() { insertions_ = 0; }
  // Called as `count` nodes are inserted into a graph of `slot_count` slots: whether the
  // index is kept, so that their links must be recorded. After a sixteenth of the graph's
  // size in insertions since the last removal, or once worth rebuilding, it is dropped.
  bool kept_through_insertions(std::size_t count, std::size_t slot_count);

 private:
  std::vector<std::size_t> offsets_;  // by target: its sources are sources_[offsets_[t], offsets_[t + 1])
  std::vector<Slot> sources_;
  // Links recorded since the build, a chain per target in flat arrays: they grow without
  // scattering small blocks over the heap, so their memory goes back whole when dropped.
  static constexpr std::uint32_t NO_ENTRY = UINT32_MAX;
  std::vector<std::uint32_t> latest_added_;   // by target: its last entry, or NO_ENTRY
  std::vector<Slot> added_sources_;           // by entry
  std::vector<std::uint32_t> earlier_added_;  // by entry: the target's entry before it
  std::size_t insertions_ = 0;  // since the last removal
};

}  // namespace tarnwick
