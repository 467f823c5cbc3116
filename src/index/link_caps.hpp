// How many links a list may hold, and how many fit in a layer-0 row.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tarnwick::detail {

// Layer-0 rows hold at most this many links; longer lists (a very large m) live apart.
inline constexpr std::size_t MAX_ROW_LINKS = 256;

// The link cap of a list: `m` above layer 0 and 2m on layer 0; at least one link, so every
// inserted node stays reachable.
inline std::size_t link_cap(std::uint64_t m, std::uint64_t layer) {
  const std::uint64_t per_layer = std::max<std::uint64_t>(m, 1);
  if (layer != 0) {
    return per_layer;
  }
  return per_layer > UINT64_MAX / 2 ? UINT64_MAX : per_layer * 2;
}

}  // namespace tarnwick::detail
