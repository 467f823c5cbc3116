#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

#include "core/distance.hpp"
#include "core/point_table.hpp"

namespace tarnwick {
namespace {

Payload tenant_payload(PayloadValue value) { return Payload{{"tenant_id", std::move(value)}}; }

TEST(PointTable, ReplaceKeepsOneRecordAndDropsTheOldPayload) {
  PointTable table;
  Slot first = *table.insert(1, Point{1, {1.0f, 2.0f}, tenant_payload(Keyword{"a"})});
  Slot again = *table.insert(1, Point{1, {3.0f, 4.0f, 5.0f}, std::nullopt});
  EXPECT_EQ(first, again);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.payload(first), nullptr);
  EXPECT_EQ(table.point(first).vector, (std::vector<float>{3.0f, 4.0f, 5.0f}));
  EXPECT_EQ(table.norm_root(first), std::sqrt(sum_squares(table.vector(first).data(), 3)));
  EXPECT_TRUE(table.tenant_slots(*table.tenant("a")).empty());
}

TEST(PointTable, SlotsWithoutPointsAreNotCounted) {
  PointTable table;
  Slot phantom = *table.slot_for(99);
  EXPECT_FALSE(table.has_point(phantom));
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(*table.insert(99, Point{5, {}, Payload{}}), phantom);
  EXPECT_EQ(table.point_id(phantom), 5u);  // the record's own id may differ from its key
  ASSERT_NE(table.payload(phantom), nullptr);  // empty, yet present
  EXPECT_EQ(table.find(UINT64_MAX), std::nullopt);
}

TEST(PointTable, ManyKeysAndReplacementsKeepEveryVector) {
  PointTable table;
  constexpr PointId COUNT = 20000;
  for (int round = 0; round < 3; ++round) {  // lengths change each round: vectors move in and out of the arena
    for (PointId key = 0; key < COUNT; ++key) {
      std::vector<float> values(static_cast<std::size_t>(round + 1 + key % 5), static_cast<float>(key));
      table.insert(key * 0x9E3779B97F4A7C15ULL, Point{key, values, std::nullopt});
    }
  }
  ASSERT_EQ(table.size(), COUNT);
  for (PointId key = 0; key < COUNT; ++key) {
    Slot slot = *table.find(key * 0x9E3779B97F4A7C15ULL);
    ASSERT_EQ(table.vector(slot).size(), 3 + key % 5);
    ASSERT_EQ(table.vector(slot)[0], static_cast<float>(key));
  }
}

TEST(PointTable, TenantListsFollowPayloadChanges) {
  PointTable table;
  for (PointId key = 0; key < 10; ++key) {
    table.insert(key, Point{key, {1.0f}, tenant_payload(Keyword{key % 2 ? "odd" : "even"})});
  }
  table.insert(4, Point{4, {1.0f}, tenant_payload(Text{"odd"})});  // Text counts as well
  table.insert(5, Point{5, {1.0f}, tenant_payload(std::int64_t{5})});
  auto odd = table.tenant_slots(*table.tenant("odd"));
  std::vector<Slot> expected;
  for (PointId key : {1, 3, 4, 7, 9}) {
    expected.push_back(*table.find(key));
  }
  EXPECT_EQ(std::vector<Slot>(odd.begin(), odd.end()), expected);
  EXPECT_EQ(table.tenant_of(*table.find(5)), NO_TENANT);
  EXPECT_FALSE(table.tenant("ODD"));
}

struct TenantCase {
  std::optional<Payload> payload;
  std::string tenant;
  bool matches;
};

class MatchesTenant : public testing::TestWithParam<TenantCase> {};

TEST_P(MatchesTenant, ComparesStringBytesOnly) {
  const TenantCase& c = GetParam();
  EXPECT_EQ(matches_tenant(Point{1, {}, c.payload}, c.tenant), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchesTenant,
    testing::Values(TenantCase{tenant_payload(Keyword{"acme"}), "acme", true},
                    TenantCase{tenant_payload(Text{"acme"}), "acme", true},
                    TenantCase{tenant_payload(Keyword{"ACME"}), "acme", false},
                    TenantCase{tenant_payload(std::int64_t{5}), "5", false},
                    TenantCase{tenant_payload(2.0), "2.0", false},
                    TenantCase{tenant_payload(Keyword{""}), "", true},
                    TenantCase{Payload{{"tenant", Keyword{"acme"}}}, "acme", false},
                    TenantCase{Payload{}, "", false},
                    TenantCase{std::nullopt, "", false}));

TEST(PayloadValue, StringsUpTo64BytesAreKeywords) {
  EXPECT_EQ(make_string_value(std::string(64, 'a')).index(), 0u);
  EXPECT_EQ(make_string_value(std::string(65, 'a')).index(), 1u);
  EXPECT_EQ(make_string_value("").index(), 0u);
}

// Random inserts and erases against a plain map: every look-up, every tenant list (ascending)
// and the slot count, which erased slots must keep from growing.
TEST(PointTable, EraseFreesSlotsForReuseAndKeepsLookUpsWhole) {
  PointTable table;
  std::map<PointId, std::pair<float, int>> model;  // key -> (vector value, tenant)
  std::mt19937_64 random(7);
  for (int step = 0; step < 40000; ++step) {
    const PointId key = random() % 600;  // few keys: long probe runs, many erases hit
    if (random() % 3 == 0) {
      EXPECT_EQ(table.erase(key), model.erase(key) == 1);
    } else {
      const auto value = static_cast<float>(step);
      const int tenant = static_cast<int>(random() % 3);
      std::vector<float> vector(key % 7 == 0 ? 3 : 2, value);  // some odd lengths
      table.insert(key, Point{key + (key % 5 == 0 ? 1 : 0), vector,
                              tenant_payload(Keyword{std::string(1, static_cast<char>('a' + tenant))})});
      model[key] = {value, tenant};
    }
  }
  ASSERT_EQ(table.size(), model.size());
  EXPECT_LE(table.slot_count(), 600u);
  std::map<int, std::vector<Slot>> tenants;
  for (PointId key = 0; key < 600; ++key) {
    auto found = model.find(key);
    std::optional<Slot> slot = table.find(key);
    ASSERT_EQ(slot.has_value(), found != model.end()) << key;
    if (!slot) {
      continue;
    }
    EXPECT_EQ(table.key(*slot), key);
    EXPECT_EQ(table.point_id(*slot), key + (key % 5 == 0 ? 1 : 0));
    EXPECT_EQ(table.vector(*slot)[0], found->second.first);
    tenants[found->second.second].push_back(*slot);
  }
  for (auto& [tenant, slots] : tenants) {
    std::sort(slots.begin(), slots.end());
    auto stored = table.tenant_slots(*table.tenant(std::string(1, static_cast<char>('a' + tenant))));
    EXPECT_EQ(std::vector<Slot>(stored.begin(), stored.end()), slots);
  }
}

TEST(PointTable, EraseLeavesSlotsWithoutPointsAlone) {
  PointTable table;
  Slot phantom = *table.slot_for(5);
  EXPECT_FALSE(table.erase(5));
  EXPECT_FALSE(table.erase(6));
  EXPECT_EQ(table.find(5), phantom);
  Slot stored = *table.insert(7, Point{7, {1.0f}, Payload{}});
  EXPECT_TRUE(table.erase(7));
  EXPECT_FALSE(table.erase(7));
  EXPECT_EQ(table.payload(stored), nullptr);
  EXPECT_EQ(*table.insert(8, Point{8, {2.0f}, std::nullopt}), stored);  // reused, clean
  EXPECT_EQ(table.point_id(stored), 8u);
  EXPECT_EQ(table.payload(stored), nullptr);
  EXPECT_EQ(table.tenant_of(stored), NO_TENANT);
}

}  // namespace
}  // namespace tarnwick
