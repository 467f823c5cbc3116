// Fetching memory ahead of its use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

inline constexpr std::uintptr_t CACHE_LINE = 64;

// Starts fetching every cache line that [data, data + bytes) touches. A walk reads a list or
// a vector whole soon after it knows where the list or vector is; fetching its first line
// alone leaves the rest to wait for memory one line after another.
inline void prefetch_lines(const void* data, std::size_t bytes) {
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t end = (begin + bytes + CACHE_LINE - 1) / CACHE_LINE;
  for (std::uintptr_t line = begin / CACHE_LINE; line < end; ++line) {
    __builtin_prefetch(reinterpret_cast<const void*>(line * CACHE_LINE));
  }
}

}  // namespace tarnwick
