// One bit per slot, all clear until set.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tarnwick {

class SlotBits {
 public:
  bool test(std::uint32_t slot) const {
    const std::size_t word = slot >> 6;
    return word < words_.size() && ((words_[word] >> (slot & 63)) & 1) != 0;
  }
  // Makes room for the bit of `slot`, so that assigning it cannot fail.
  void make_room(std::uint32_t slot) {
    if (words_.size() <= slot >> 6) {
      words_.resize((slot >> 6) + 1);
    }
  }
  // The slot must have room.
  void assign(std::uint32_t slot, bool value) {
    const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    std::uint64_t& word = words_[slot >> 6];
    word = value ? word | bit : word & ~bit;
  }
  void clear() { std::fill(words_.begin(), words_.end(), 0); }

 private:
  std::vector<std::uint64_t> words_;
};

}  // namespace tarnwick
