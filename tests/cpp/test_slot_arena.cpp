#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
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

// Owning elements are destroyed exactly once, whether the column is moved or replaced; the
// sanitizer builds turn a leak or a double free into a failure.
TEST(SlotColumn, OwnsItsElementsAcrossMoves) {
  SlotColumn<std::unique_ptr<std::uint32_t>> column;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    column.make_room();
    column.push_back(std::make_unique<std::uint32_t>(i));
  }
  SlotColumn<std::unique_ptr<std::uint32_t>> moved(std::move(column));
  EXPECT_EQ(column.size(), 0u);
  ASSERT_EQ(moved.size(), 1000u);
  for (std::uint32_t i = 0; i < 1000; ++i) {
    EXPECT_EQ(*moved[i], i);
  }
  SlotColumn<std::unique_ptr<std::uint32_t>> replaced;
  replaced.push_back(std::make_unique<std::uint32_t>(7));
  replaced = std::move(moved);
  EXPECT_EQ(*replaced[999], 999u);
}

}  // namespace
}  // namespace tarnwick
