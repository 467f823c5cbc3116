// Scratch buffers that grow and never shrink.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnwick::detail {

// Makes `buffer` hold at least `size` elements, leaving the ones it holds as they are. For
// buffers whose users write every element they read: resizing them down and up again zeroed
// the regrown part at every reuse, a fifth of the work of a removal.
template <class T>
void grow_to(std::vector<T>& buffer, std::size_t size) {
  if (buffer.size() < size) {
    buffer.resize(size);
  }
}

}  // namespace tarnwick::detail
