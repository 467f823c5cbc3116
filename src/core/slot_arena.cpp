#include "core/slot_arena.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace tarnwick {

namespace {
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
}

void ChunkFree::operator()(void* chunk) const { std::free(chunk); }

Chunk allocate_chunk(std::size_t bytes, bool huge_pages) {
  void* memory = nullptr;
  if (huge_pages && bytes >= HUGE_PAGE) {
    if (posix_memalign(&memory, HUGE_PAGE, bytes) != 0) {
      memory = nullptr;
    }
  } else {
    memory = std::malloc(bytes);
  }
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  if (huge_pages && bytes >= HUGE_PAGE) {
    // Only whole huge pages: a partly used one would hold memory no record needs. And only
    // advice: without transparent huge pages the chunk keeps small pages.
    madvise(memory, bytes / HUGE_PAGE * HUGE_PAGE, MADV_HUGEPAGE);
  }
  return Chunk(memory);
}

}  // namespace tarnwick
