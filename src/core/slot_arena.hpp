// Fixed-size records addressed by slot: record s sits at a place computed from s alone, so
// reaching it needs no look-up table per record.
//
// Chunk 0 holds slots 0 to 15 and chunk k > 0 the slots from 2^(k+3) to 2^(k+4) - 1 (for
// records over 64 KiB the first chunk is smaller), so each chunk is as large as all before it
// and the chunk of a slot is one bit scan away. A chunk is allocated when its first record is
// placed and left uninitialised, so pages are touched only as records arrive; nothing ever
// moves, so growing needs no copy and leaves no old copy behind, and a small store stays
// small. On request, chunks ask the kernel for huge pages: a walk over a large store then
// misses the TLB far less often, for at most one partly used huge page of memory.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

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
    for (Chunk& chunk : chunks_) {
      chunk.reset();
    }
    stride_ = stride;
    huge_pages_ = huge_pages;
    // The first chunk holds 16 records, or fewer when records are large.
    first_shift_ = MAX_FIRST_SHIFT;
    while (first_shift_ > 0 && (std::size_t{1} << first_shift_) * stride * sizeof(T) > MAX_FIRST_BYTES) {
      --first_shift_;
    }
  }
  std::size_t stride() const { return stride_; }

  // The record of `slot`; it must have been placed.
  T* at(std::uint32_t slot) const {
    return reinterpret_cast<T*>(bases_[chunk_of(slot)] + std::uintptr_t{slot} * stride_ * sizeof(T));
  }
  // The slot after the last one of `slot`'s chunk: records from `slot` up to it lie one after
  // another, so a scan in slot order can step through them without computing each address.
  std::uint64_t chunk_end(std::uint32_t slot) const {
    return std::uint64_t{1} << (chunk_of(slot) + first_shift_);
  }
  // The record of `slot`, allocating its chunk if needed (uninitialised when new).
  T* place(std::uint32_t slot) {
    const unsigned chunk = chunk_of(slot);
    if (!chunks_[chunk]) {
      const std::uint64_t first = chunk == 0 ? 0 : std::uint64_t{1} << (chunk + first_shift_ - 1);
      const std::uint64_t records = chunk == 0 ? std::uint64_t{1} << first_shift_ : first;
      std::size_t bytes = 0;
      if (__builtin_mul_overflow(records, stride_ * sizeof(T), &bytes)) {
        throw std::bad_alloc();
      }
      chunks_[chunk] = allocate_chunk(bytes, huge_pages_);
      // Biased by the chunk's first slot, so that `at` needs no subtraction (unsigned wrap-around).
      bases_[chunk] = reinterpret_cast<std::uintptr_t>(chunks_[chunk].get()) - first * stride_ * sizeof(T);
    }
    return at(slot);
  }

 private:
  static constexpr unsigned MAX_FIRST_SHIFT = 4;
  static constexpr std::size_t MAX_FIRST_BYTES = std::size_t{1} << 20;

  unsigned chunk_of(std::uint32_t slot) const {
    return static_cast<unsigned>(std::bit_width(slot | ((std::uint32_t{1} << first_shift_) - 1))) - first_shift_;
  }

  std::size_t stride_ = 0;
  bool huge_pages_ = false;
  unsigned first_shift_ = MAX_FIRST_SHIFT;  // the first chunk holds 1 << first_shift_ records
  std::array<Chunk, 33> chunks_;            // enough for every slot below 2^32 at any first_shift_
  std::array<std::uintptr_t, 33> bases_{};
};

// One T per slot, pushed in slot order, kept in a slot arena.
template <class T>
class SlotColumn {
 public:
  SlotColumn() { arena_.reset(1, false); }
  SlotColumn(SlotColumn&& other) noexcept : arena_(std::move(other.arena_)), size_(std::exchange(other.size_, 0)) {}
  SlotColumn& operator=(SlotColumn&& other) noexcept {
    destroy();
    arena_ = std::move(other.arena_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ~SlotColumn() { destroy(); }

  std::size_t size() const { return size_; }
  T& operator[](std::uint32_t slot) { return *arena_.at(slot); }
  const T& operator[](std::uint32_t slot) const { return *arena_.at(slot); }
  std::uint64_t chunk_end(std::uint32_t slot) const { return arena_.chunk_end(slot); }
  // Allocates what the next push_back needs, so that the push_back cannot fail.
  void make_room() { arena_.place(static_cast<std::uint32_t>(size_)); }
  void push_back(T value) {
    new (arena_.place(static_cast<std::uint32_t>(size_))) T(std::move(value));
    ++size_;
  }

 private:
  void destroy() {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (std::size_t slot = 0; slot < size_; ++slot) {
        (*this)[static_cast<std::uint32_t>(slot)].~T();
      }
    }
    size_ = 0;
  }

  SlotArena<T> arena_;
  std::size_t size_ = 0;
};

}  // namespace tarnwick
