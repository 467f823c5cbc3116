#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/slot_arena.hpp"

namespace tarnwick {
namespace {

// Records placed in any order keep their contents as chunks are added, for strides that put
// one, a few or millions of records in a chunk, on small and on huge pages.
class SlotArenaStride : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(SlotArenaStride, RecordsKeepTheirContents) {
  const auto [stride, huge_pages] = GetParam();
  SlotArena<std::uint32_t> arena;
  arena.reset(stride, huge_pages);
  std::vector<std::uint32_t> slots;
  for (std::uint32_t i = 0; i < 40; ++i) {
    slots.push_back((i * 7919u) % 40u);  // every slot of 0..39, out of order
  }
  slots.push_back(5000);
  for (std::uint32_t slot : slots) {
    std::uint32_t* record = arena.place(slot);
    record[0] = slot;
    record[stride - 1] = ~slot;
  }
  for (std::uint32_t slot : slots) {
    EXPECT_EQ(arena.at(slot)[0], slot);
    EXPECT_EQ(arena.at(slot)[stride - 1], ~slot);
  }
}

INSTANTIATE_TEST_SUITE_P(Strides, SlotArenaStride,
                         ::testing::Combine(::testing::Values(std::size_t{2}, std::size_t{33},
                                                              std::size_t{1} << 20),
                                            ::testing::Bool()));

}  // namespace
}  // namespace tarnwick
