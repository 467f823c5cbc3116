// Fixed-size records addressed by slot: record s sits at a place computed from s alone, so
// reaching it needs no look-up table per record.
//
// Records live in chunks of up to 8 MiB that never move. A chunk is allocated whole when its
// first record is placed and left uninitialised, so its pages are touched only as records
// arrive and a small store stays small. On request, chunks after the first ask the kernel for
// huge pages: a walk over a large store then misses the TLB far less often, for at most one
// partly used huge page of memory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarnwick {

struct ChunkFree {
  void operator()(void* chunk) const;
};
using Chunk = std::unique_ptr<void, ChunkFree>;
// `bytes` of uninitialised memory, on huge pages where whole ones fit if `huge_pages`;
// throws std::bad_alloc on failure.
Chunk allocate_chunk(std::size_t bytes, bool huge_pages);

template <class T>
class SlotArena {
 public:
  // Sets the record size (in elements of T, at least 1) and drops every record.
  void reset(std::size_t stride, bool huge_pages) {
    chunks_.clear();
    stride_ = stride;
    huge_pages_ = huge_pages;
    std::size_t per_chunk = 1;
    while (per_chunk * 2 * stride * sizeof(T) <= CHUNK_BYTES) {
      per_chunk *= 2;
    }
    shift_ = static_cast<unsigned>(std::countr_zero(per_chunk));
  }
  std::size_t stride() const { return stride_; }

  // The record of `slot`; it must have been placed.
  T* at(std::uint32_t slot) const {
    return static_cast<T*>(chunks_[slot >> shift_].get()) + (slot & mask()) * stride_;
  }
  // The record of `slot`, allocating its chunk if needed (uninitialised when new).
  T* place(std::uint32_t slot) {
    const std::size_t chunk = slot >> shift_;
    if (chunks_.size() <= chunk) {
      chunks_.resize(chunk + 1);
    }
    if (!chunks_[chunk]) {
      chunks_[chunk] = allocate_chunk((mask() + 1) * stride_ * sizeof(T), huge_pages_ && chunk != 0);
    }
    return at(slot);
  }

 private:
  static constexpr std::size_t CHUNK_BYTES = std::size_t{8} << 20;
  std::size_t mask() const { return (std::size_t{1} << shift_) - 1; }

  std::size_t stride_ = 0;
  unsigned shift_ = 0;  // a chunk holds 1 << shift_ records
  bool huge_pages_ = false;
  std::vector<Chunk> chunks_;
};

}  // namespace tarnwick
