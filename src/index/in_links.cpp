#include "index/in_links.hpp"

#include <algorithm>

#include "index/hnsw.hpp"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace tarnwick {

void InLinks::build(const HNSWIndex& index, std::size_t slot_count) {
  clear();
  // Counted first, then filled: two passes over the lists, and no per-target allocation.
  std::vector<std::size_t> offsets(slot_count + 1, 0);
  auto each_link = [&](auto visit) {
    for (std::size_t source = 0; source < slot_count; ++source) {
      if (!index.has_node(static_cast<Slot>(source))) {
        continue;
      }
      for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
        for (Slot target : index.neighbors(static_cast<Slot>(source), layer)) {
          if (target < slot_count) {
            visit(target, static_cast<Slot>(source));
          }
        }
      }
    }
  };
  each_link([&](Slot target, Slot) { ++offsets[target + 1]; });
  for (std::size_t t = 0; t < slot_count; ++t) {
    offsets[t + 1] += offsets[t];
  }
  std::vector<Slot> sources(offsets[slot_count]);
  std::vector<std::size_t> filled(offsets.begin(), offsets.end() - 1);
  each_link([&](Slot target, Slot source) { sources[filled[target]++] = source; });
  offsets_ = std::move(offsets);
  sources_ = std::move(sources);
  latest_added_.assign(slot_count, NO_ENTRY);
}

bool InLinks::kept_through_insertions(std::size_t count, std::size_t slot_count) {
  if (!built()) {
    return false;
  }
  constexpr std::size_t MIN_INSERTIONS = 1024;
  insertions_ += count;
  if (insertions_ > std::max(MIN_INSERTIONS, slot_count / 16) || worth_rebuilding()) {
    clear();
    return false;
  }
  return true;
}

void InLinks::clear() {
  const bool held = built();
  std::vector<std::size_t>().swap(offsets_);
  std::vector<Slot>().swap(sources_);
  std::vector<std::uint32_t>().swap(latest_added_);
  std::vector<Slot>().swap(added_sources_);
  std::vector<std::uint32_t>().swap(earlier_added_);
  insertions_ = 0;
#ifdef __GLIBC__
  // The index is large and short-lived, and what it freed lies between blocks still in use:
  // returned to the system here, a store under churn keeps the memory of one built once.
  if (held) {
    malloc_trim(0);
  }
#endif
}

}  // namespace tarnwick
