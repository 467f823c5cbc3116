#include "core/slot_arena.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace tarnwick {

namespace {
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
}

void ChunkFree::operator()(void* chunk) const { std::free(chunk); }

void* allocate_chunk(std::size_t bytes, bool huge_pages) {
  const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  void* chunk = huge_pages ? std::aligned_alloc(HUGE_PAGE, rounded) : std::malloc(bytes);
  if (chunk == nullptr) {
    throw std::bad_alloc();
  }
  if (huge_pages) {
    // Only advice: without transparent huge pages the chunk simply keeps small pages.
    madvise(chunk, rounded, MADV_HUGEPAGE);
  }
  return chunk;
}

}  // namespace tarnwick
