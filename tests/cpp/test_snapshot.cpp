#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "storage/file_calls.hpp"
#include "storage/segment.hpp"
#include "storage/snapshot.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

std::string raw(std::initializer_list<unsigned> values) {
  std::string bytes;
  for (unsigned value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

std::string repeat(unsigned value, std::size_t count) { return std::string(count, static_cast<char>(value)); }

std::string hex(std::string_view bytes) {
  std::ostringstream out;
  for (char c : bytes) {
    out << "0123456789ABCDEF"[static_cast<std::uint8_t>(c) >> 4] << "0123456789ABCDEF"[c & 0xF] << ' ';
  }
  return out.str();
}

const std::string EMPTY_STORE = raw({0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00});
// Graph parameters of a new store, no entry point, no nodes.
const std::string NEW_GRAPH = raw({0x10, 0x40, 0x20, 0x00, 0x00, 0x00});

const std::string WORKED_EXAMPLE =
    raw({0x01, 0x07, 0x07, 0x02, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x01, 0x01, 0x09}) +
    "tenant_id" + raw({0x00, 0x02}) + "t1" + raw({0x10, 0x40, 0x20, 0x01, 0x07, 0x00, 0x01, 0x07, 0x07}) +
    repeat(0x00, 16);

// A file of one point (key 1, id 1, empty vector) whose payload holds one entry.
std::string with_payload_entry(const std::string& entry) {
  return raw({0x01, 0x01, 0x01, 0x00, 0x01, 0x01}) + entry + NEW_GRAPH;
}

std::string text(std::string_view bytes) { return static_cast<char>(bytes.size()) + std::string(bytes); }

Snapshot decoded(std::string_view bytes) {
  auto result = decode_snapshot(bytes);
  if (auto* error = std::get_if<SnapshotDecodeError>(&result)) {
    ADD_FAILURE() << "decode failed: " << decode_error_text(*error) << " for " << hex(bytes);
    return Snapshot{};
  }
  return std::move(std::get<Snapshot>(result));
}

std::optional<SnapshotDecodeError> failure_of(std::string_view bytes) {
  auto result = decode_snapshot(bytes);
  if (auto* error = std::get_if<SnapshotDecodeError>(&result)) return *error;
  return std::nullopt;
}

bool same_value(const PayloadValue& a, const PayloadValue& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) {
    return std::bit_cast<std::uint64_t>(*x) == std::bit_cast<std::uint64_t>(std::get<double>(b));
  }
  return a == b;
}

// Equal content by identifier: points bit for bit, payload variants, nodes, every list in order.
void expect_same_store(const Snapshot& expected, const Snapshot& actual) {
  const PointTable& a = expected.points;
  const PointTable& b = actual.points;
  EXPECT_EQ(a.size(), b.size());
  EXPECT_EQ(expected.index.node_count(), actual.index.node_count());
  EXPECT_EQ(expected.index.m, actual.index.m);
  EXPECT_EQ(expected.index.ef_construction, actual.index.ef_construction);
  EXPECT_EQ(expected.index.ef_search, actual.index.ef_search);
  EXPECT_EQ(expected.index.max_level, actual.index.max_level);
  ASSERT_EQ(expected.index.entry_point.has_value(), actual.index.entry_point.has_value());
  if (expected.index.entry_point) {
    EXPECT_EQ(a.key(*expected.index.entry_point), b.key(*actual.index.entry_point));
  }
  for (Slot slot = 0; slot < a.slot_count(); ++slot) {
    const PointId key = a.key(slot);
    std::optional<Slot> other = b.find(key);
    if (a.has_point(slot)) {
      ASSERT_TRUE(other && b.has_point(*other)) << "point " << key;
      EXPECT_EQ(a.point_id(slot), b.point_id(*other));
      std::span<const float> x = a.vector(slot), y = b.vector(*other);
      ASSERT_EQ(x.size(), y.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(x[i]), std::bit_cast<std::uint32_t>(y[i])) << "point " << key;
      }
      const Payload* p = a.payload(slot);
      const Payload* q = b.payload(*other);
      ASSERT_EQ(p == nullptr, q == nullptr) << "point " << key;
      if (p != nullptr) {
        ASSERT_EQ(p->size(), q->size());
        for (const auto& [name, value] : *p) {
          auto found = q->find(name);
          ASSERT_NE(found, q->end()) << name;
          EXPECT_TRUE(same_value(value, found->second)) << "point " << key << " key " << name;
        }
      }
    }
    if (expected.index.has_node(slot)) {
      ASSERT_TRUE(other && actual.index.has_node(*other)) << "node " << key;
      const HNSWNode& n = expected.index.node(slot, expected.points);
      const HNSWNode& m = actual.index.node(*other, actual.points);
      EXPECT_EQ(n.id, m.id);
      for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
        std::span<const Slot> x = n.neighbors(layer), y = m.neighbors(layer);
        ASSERT_EQ(x.size(), y.size()) << "node " << key << " layer " << layer;
        for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(a.key(x[i]), b.key(y[i]));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// The byte format

TEST(SnapshotFormat, NewStoreIsSevenBytes) {
  EXPECT_EQ(hex(encode_snapshot(PointTable{}, HNSWIndex{})), hex(EMPTY_STORE));
  Snapshot store = decoded(EMPTY_STORE);
  EXPECT_EQ(store.points.size(), 0u);
  EXPECT_EQ(store.index.node_count(), 0u);
  EXPECT_EQ(store.index.m, 16u);
  EXPECT_EQ(store.index.ef_construction, 64u);
  EXPECT_EQ(store.index.ef_search, 32u);
  EXPECT_FALSE(store.index.entry_point);
  EXPECT_EQ(store.index.max_level, 0u);
}

TEST(SnapshotFormat, WorkedExampleDecodesAndEncodesToTheSameBytes) {
  ASSERT_EQ(WORKED_EXAMPLE.size(), 53u);
  Snapshot store = decoded(WORKED_EXAMPLE);
  std::optional<Slot> slot = store.points.find(7);
  ASSERT_TRUE(slot && store.points.has_point(*slot));
  EXPECT_EQ(store.points.point_id(*slot), 7u);
  std::span<const float> vector = store.points.vector(*slot);
  ASSERT_EQ(vector.size(), 2u);
  EXPECT_EQ(vector[0], 1.0f);
  EXPECT_EQ(vector[1], 0.5f);
  ASSERT_NE(store.points.payload(*slot), nullptr);
  EXPECT_EQ(*store.points.payload(*slot), (Payload{{"tenant_id", Keyword{"t1"}}}));
  EXPECT_EQ(store.index.entry_point, slot);
  ASSERT_TRUE(store.index.has_node(*slot));
  EXPECT_EQ(store.index.node(*slot, store.points).id, 7u);
  EXPECT_EQ(hex(encode_snapshot(store.points, store.index)), hex(WORKED_EXAMPLE));

  // The same store built in memory writes the same bytes.
  PointTable points;
  HNSWIndex index;
  Slot seven = *points.insert(7, Point{7, {1.0f, 0.5f}, Payload{{"tenant_id", Keyword{"t1"}}}});
  index.set_node(seven, HNSWNode{7, {}, {}}, points);
  index.entry_point = seven;
  EXPECT_EQ(hex(encode_snapshot(points, index)), hex(WORKED_EXAMPLE));
}

TEST(SnapshotFormat, UnsignedVarints) {
  const std::pair<std::uint64_t, std::string> cases[] = {
      {0, raw({0x00})},
      {127, raw({0x7F})},
      {128, raw({0x80, 0x01})},
      {300, raw({0xAC, 0x02})},
      {UINT64_MAX, repeat(0xFF, 9) + raw({0x01})},
  };
  for (const auto& [value, bytes] : cases) {
    SCOPED_TRACE(value);
    HNSWIndex index;
    index.m = value;
    const std::string file = raw({0x00}) + bytes + raw({0x40, 0x20, 0x00, 0x00, 0x00});
    EXPECT_EQ(hex(encode_snapshot(PointTable{}, index)), hex(file));
    EXPECT_EQ(decoded(file).index.m, value);
  }
}

TEST(SnapshotFormat, LongerVarintFormsAreAccepted) {
  const std::pair<std::string, std::uint64_t> cases[] = {
      {raw({0x80, 0x00}), 0},
      {raw({0xFF, 0x00}), 127},
      {raw({0x81}) + repeat(0x80, 8) + raw({0x00}), 1},
      {repeat(0x80, 9) + raw({0x01}), std::uint64_t{1} << 63},
  };
  for (const auto& [bytes, value] : cases) {
    SCOPED_TRACE(hex(bytes));
    EXPECT_EQ(decoded(raw({0x00, 0x10, 0x40}) + bytes + raw({0x00, 0x00, 0x00})).index.ef_search, value);
  }
  // A variant number written in five bytes.
  Snapshot store = decoded(with_payload_entry(text("k") + raw({0x80, 0x80, 0x80, 0x80, 0x00}) + text("v")));
  EXPECT_EQ(store.points.payload(0)->at("k"), PayloadValue(Keyword{"v"}));
}

TEST(SnapshotFormat, SignedIntegersAreZigZag) {
  const std::pair<std::int64_t, std::string> cases[] = {
      {0, raw({0x00})},
      {-1, raw({0x01})},
      {1, raw({0x02})},
      {300, raw({0xD8, 0x04})},
      {-300, raw({0xD7, 0x04})},
      {INT64_MIN, repeat(0xFF, 9) + raw({0x01})},
      {INT64_MAX, raw({0xFE}) + repeat(0xFF, 8) + raw({0x01})},
  };
  for (const auto& [value, bytes] : cases) {
    SCOPED_TRACE(value);
    PointTable points;
    points.insert(1, Point{1, {}, Payload{{"k", value}}});
    const std::string file = with_payload_entry(text("k") + raw({0x02}) + bytes);
    EXPECT_EQ(hex(encode_snapshot(points, HNSWIndex{})), hex(file));
    EXPECT_EQ(decoded(file).points.payload(0)->at("k"), PayloadValue(value));
  }
}

TEST(SnapshotFormat, PayloadVariantsKeepTheirNumberWhateverTheLength) {
  const std::string long_bytes(65, 'x');
  const std::pair<PayloadValue, std::string> cases[] = {
      {Keyword{""}, raw({0x00, 0x00})},
      {Keyword{long_bytes}, raw({0x00, 65}) + long_bytes},
      {Text{"short"}, raw({0x01}) + text("short")},
      {2.5, raw({0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x40})},
  };
  for (const auto& [value, bytes] : cases) {
    SCOPED_TRACE(hex(bytes));
    PointTable points;
    points.insert(1, Point{1, {}, Payload{{"k", value}}});
    const std::string file = with_payload_entry(text("k") + bytes);
    EXPECT_EQ(hex(encode_snapshot(points, HNSWIndex{})), hex(file));
    EXPECT_TRUE(same_value(decoded(file).points.payload(0)->at("k"), value));
  }
}

// ---------------------------------------------------------------------------------------
// Decoding failures

TEST(SnapshotDecode, ReasonTexts) {
  const std::pair<SnapshotDecodeError, std::string_view> cases[] = {
      {SnapshotDecodeError::EndOfInput, "Hit the end of buffer, expected more data"},
      {SnapshotDecodeError::BadVarint,
       "Found a varint that didn't terminate. Is the usize too big for this platform?"},
      {SnapshotDecodeError::BadUtf8, "Tried to parse invalid utf-8"},
      {SnapshotDecodeError::BadOptionTag, "Found an Option discriminant that wasn't 0 or 1"},
      {SnapshotDecodeError::UnknownVariant, "Serde Deserialization Error"},
  };
  for (const auto& [reason, text] : cases) EXPECT_EQ(decode_error_text(reason), text);
}

TEST(SnapshotDecode, FailureReasons) {
  using E = SnapshotDecodeError;
  const std::string huge = repeat(0xFF, 9) + raw({0x01});
  const std::string one_point = raw({0x01, 0x01, 0x01});  // count, key, id
  const std::string node_head = raw({0x00}) + NEW_GRAPH.substr(0, 5) + raw({0x01, 0x05, 0x05});
  struct Case {
    const char* name;
    std::string bytes;
    E reason;
  };
  const Case cases[] = {
      {"empty file", "", E::EndOfInput},
      {"varint cut short", raw({0x80}), E::EndOfInput},
      {"eleven-byte varint", repeat(0xFF, 10) + raw({0x01}), E::BadVarint},
      {"10th byte 0x02", repeat(0x80, 9) + raw({0x02}), E::BadVarint},
      {"10th byte with continuation", repeat(0x80, 9) + raw({0x81}), E::BadVarint},
      {"bad varint in a graph parameter", raw({0x00, 0x10}) + repeat(0x80, 9) + raw({0x7F}), E::BadVarint},
      {"variant number 4", with_payload_entry(text("k") + raw({0x04})), E::UnknownVariant},
      {"variant number 2^32-1", with_payload_entry(text("k") + raw({0xFF, 0xFF, 0xFF, 0xFF, 0x0F})),
       E::UnknownVariant},
      {"variant number of 5 bytes above 32 bits",
       with_payload_entry(text("k") + raw({0x80, 0x80, 0x80, 0x80, 0x10})), E::BadVarint},
      {"variant number of 6 bytes", with_payload_entry(text("k") + repeat(0x80, 5) + raw({0x00})),
       E::BadVarint},
      {"payload presence 0x02", one_point + raw({0x00, 0x02}), E::BadOptionTag},
      {"entry point tag 0x02", raw({0x00, 0x10, 0x40, 0x20, 0x02, 0x00, 0x00}), E::BadOptionTag},
      {"entry point tag 0xFF", raw({0x00, 0x10, 0x40, 0x20, 0xFF}), E::BadOptionTag},
      {"missing presence byte", one_point + raw({0x00}), E::EndOfInput},
      {"vector cut inside a float", one_point + raw({0x01, 0x00, 0x00, 0x80}), E::EndOfInput},
      {"float payload cut short", one_point + raw({0x00, 0x01, 0x01}) + text("k") + raw({0x03}) + repeat(0, 7),
       E::EndOfInput},
      {"text longer than the input", with_payload_entry(raw({0x7F}) + "abc"), E::EndOfInput},
      {"huge point count", huge, E::EndOfInput},
      {"huge vector length", one_point + huge + repeat(0, 64), E::EndOfInput},
      {"huge payload count", one_point + raw({0x00, 0x01}) + huge + repeat(0, 64), E::EndOfInput},
      {"huge text length", with_payload_entry(huge + "k"), E::EndOfInput},
      {"huge node count", raw({0x00}) + NEW_GRAPH.substr(0, 5) + huge + repeat(0, 64), E::EndOfInput},
      {"huge neighbour list", node_head + huge + repeat(0, 64), E::EndOfInput},
      {"node lists cut short", node_head + repeat(0, 15), E::EndOfInput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure_of(c.bytes), c.reason) << hex(c.bytes);
  }
}

TEST(SnapshotDecode, StrictUtf8InKeysAndStringValues) {
  const std::string valid[] = {"", "plain", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
                               "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF"};
  const std::string invalid[] = {"\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xED\xA0\x80",
                                 "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
                                 "\xFF", "\xE2\x82", "\xE2\x28\xA1", "ok\xC3"};
  for (const std::string& bytes : valid) {
    SCOPED_TRACE(hex(bytes));
    for (const std::string& entry : {text(bytes) + raw({0x02, 0x00}), text("k") + raw({0x00}) + text(bytes),
                                     text("k") + raw({0x01}) + text(bytes)}) {
      EXPECT_EQ(failure_of(with_payload_entry(entry)), std::nullopt);
    }
  }
  for (const std::string& bytes : invalid) {
    SCOPED_TRACE(hex(bytes));
    for (const std::string& entry : {text(bytes) + raw({0x02, 0x00}), text("k") + raw({0x00}) + text(bytes),
                                     text("k") + raw({0x01}) + text(bytes)}) {
      EXPECT_EQ(failure_of(with_payload_entry(entry)), SnapshotDecodeError::BadUtf8);
    }
  }
}

// A small store that uses every kind of field: payload variants, upper layers, links.
Snapshot small_store() {
  Snapshot store;
  PointTable& points = store.points;
  const float odd_floats[] = {-0.0f, std::bit_cast<float>(0x7FC00001u), std::bit_cast<float>(0x00000001u)};
  Slot a = *points.insert(1, Point{1, {1.0f, -2.0f}, Payload{{"tenant_id", Keyword{"t"}}, {"n", std::int64_t{-300}}}});
  Slot b = *points.insert(200, Point{201, {odd_floats, odd_floats + 3},
                                     Payload{{"x", std::bit_cast<double>(0xFFF8000000000123ull)},
                                             {"long", Text{std::string(70, 'y')}}}});
  Slot c = *points.insert(3, Point{3, {}, std::nullopt});
  points.insert(4, Point{4, {}, Payload{}});
  Slot ghost = *points.slot_for(99999);
  store.index.m = 300;
  store.index.max_level = 2;
  store.index.entry_point = b;
  store.index.set_node(a, HNSWNode{1, {b, c}, {}}, store.points);
  store.index.set_node(b, HNSWNode{200, {a, ghost}, {{a}, {c, c}}}, store.points);
  store.index.set_node(c, HNSWNode{3, {a}, {}}, store.points);
  return store;
}

TEST(SnapshotDecode, TruncationFailsTrailingBytesAreIgnored) {
  Snapshot store = small_store();
  const std::string file = encode_snapshot(store.points, store.index);
  for (std::size_t length = 0; length < file.size(); ++length) {
    EXPECT_EQ(failure_of(std::string_view(file).substr(0, length)), SnapshotDecodeError::EndOfInput)
        << "cut at " << length;
  }
  for (const std::string& tail : {std::string(), raw({0xFF, 0xFF}), std::string(1000, '\x80')}) {
    expect_same_store(store, decoded(file + tail));
  }
}

TEST(SnapshotDecode, LaterDuplicatesWin) {
  const std::string file =
      raw({0x02,                                         // two point entries, same key 5
           0x05, 0x05, 0x01, 0, 0, 0x80, 0x3F, 0x00,     // id 5, [1.0], no payload
           0x05, 0x06, 0x00, 0x01, 0x02}) +              // id 6, [], two payload entries
      text("k") + raw({0x02, 0x02}) + text("k") + raw({0x00}) + text("v") +  // "k" twice
      raw({0x10, 0x40, 0x20, 0x00, 0x00,                 // no entry point
           0x02,                                         // two node entries, same key 5
           0x05, 0x05, 0x01, 0x05}) + repeat(0, 15) +    // id 5, layer 0 = [5]
      raw({0x05, 0x09, 0x00, 0x00, 0x00, 0x01, 0x07}) + repeat(0, 12);  // id 9, layer 3 = [7]
  Snapshot store = decoded(file);
  EXPECT_EQ(store.points.size(), 1u);
  Slot five = *store.points.find(5);
  EXPECT_EQ(store.points.point_id(five), 6u);
  EXPECT_TRUE(store.points.vector(five).empty());
  EXPECT_EQ(*store.points.payload(five), (Payload{{"k", Keyword{"v"}}}));
  EXPECT_EQ(store.index.node_count(), 1u);
  const HNSWNode& node = store.index.node(five, store.points);
  EXPECT_EQ(node.id, 9u);
  EXPECT_TRUE(node.layer0.empty());
  // Upper lists stop at the last non-empty one; the link names an id without a point.
  ASSERT_EQ(node.upper.size(), 3u);
  ASSERT_EQ(node.upper[2].size(), 1u);
  EXPECT_EQ(store.points.key(node.upper[2][0]), 7u);
  EXPECT_FALSE(store.points.has_point(node.upper[2][0]));
}

TEST(SnapshotDecode, NoConsistencyRepair) {
  // Entry point without nodes, keys that differ from ids, links to unknown ids.
  const std::string file = raw({0x01, 0x08, 0x09, 0x00, 0x00, 0x10, 0x40, 0x20, 0x01, 0x63, 0x05,
                                0x01, 0x0A, 0x0B, 0x02, 0x0C, 0x08}) + repeat(0, 15);
  Snapshot store = decoded(file);
  ASSERT_TRUE(store.index.entry_point);
  EXPECT_EQ(store.points.key(*store.index.entry_point), 0x63u);
  EXPECT_FALSE(store.points.has_point(*store.index.entry_point));
  EXPECT_EQ(store.index.max_level, 5u);
  EXPECT_EQ(store.points.point_id(*store.points.find(8)), 9u);
  const HNSWNode& node = store.index.node(*store.points.find(10), store.points);
  EXPECT_EQ(node.id, 11u);
  EXPECT_TRUE(node.upper.empty());
  ASSERT_EQ(node.layer0.size(), 2u);
  EXPECT_EQ(store.points.key(node.layer0[0]), 12u);
  EXPECT_EQ(store.points.key(node.layer0[1]), 8u);
  EXPECT_EQ(hex(encode_snapshot(store.points, store.index)), hex(file));
}

Snapshot random_store(std::uint64_t seed, std::size_t count) {
  std::mt19937_64 random(seed);
  auto below = [&](std::uint64_t n) { return random() % n; };
  Snapshot store;
  std::vector<Slot> slots;
  for (std::size_t i = 0; i < count; ++i) {
    const PointId key = below(4) == 0 ? random() : below(1u << 20);
    Point point{below(8) == 0 ? random() : key, {}, std::nullopt};
    point.vector.resize(below(4) == 0 ? below(3) : 24);
    for (float& value : point.vector) {
      // Arbitrary bit patterns: NaN payloads, infinities, subnormals, negative zero.
      value = below(3) == 0 ? std::bit_cast<float>(static_cast<std::uint32_t>(random()))
                            : static_cast<float>(static_cast<std::int64_t>(below(2001)) - 1000) / 64.0f;
    }
    if (below(5) != 0) {
      Payload& payload = point.payload.emplace();
      for (std::uint64_t entry = below(5); entry > 0; --entry) {
        std::string name = "key" + std::to_string(below(6));
        std::string bytes(below(3) == 0 ? 64 + below(3) : below(10), static_cast<char>('a' + below(26)));
        switch (below(4)) {
          case 0: payload.insert_or_assign(name, Keyword{bytes}); break;
          case 1: payload.insert_or_assign(name, Text{bytes}); break;
          case 2: payload.insert_or_assign(name, static_cast<std::int64_t>(random())); break;
          default: payload.insert_or_assign(name, std::bit_cast<double>(random())); break;
        }
      }
    }
    slots.push_back(*store.points.insert(key, std::move(point)));
  }
  HNSWIndex& index = store.index;
  index.m = random();
  index.ef_construction = below(1000);
  index.ef_search = below(2) ? random() : 0;
  index.max_level = below(16);
  auto any_slot = [&]() { return below(10) == 0 ? *store.points.slot_for(random()) : slots[below(slots.size())]; };
  for (std::size_t i = 0; i < count + 20; ++i) {
    // Most points get a node; a few nodes stand for identifiers without a point.
    Slot slot = i < count ? slots[i] : *store.points.slot_for(random());
    if (below(10) == 0) continue;
    HNSWNode node{below(8) == 0 ? random() : store.points.key(slot), {}, {}};
    const std::uint64_t level = below(4) == 0 ? below(MAX_LAYERS) : 0;
    for (std::size_t layer = 0; layer <= level; ++layer) {
      std::vector<Slot>& links = node.neighbors_mut(layer);
      for (std::uint64_t n = below(7); n > 0; --n) links.push_back(below(6) == 0 ? slot : any_slot());
    }
    index.set_node(slot, std::move(node), store.points);
  }
  index.entry_point = slots[below(slots.size())];
  return store;
}

TEST(SnapshotDecode, RandomStoresRoundTrip) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    Snapshot store = random_store(seed, 3000);
    const std::string file = encode_snapshot(store.points, store.index);
    Snapshot copy = decoded(file);
    expect_same_store(store, copy);
    expect_same_store(copy, store);
    // Equal content writes a file of the same length.
    EXPECT_EQ(encode_snapshot(copy.points, copy.index).size(), file.size());
  }
}

// ---------------------------------------------------------------------------------------
// Saving and loading files

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::set<std::string> names_in(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

// The file a segment writes, through a plain save.
std::string saved_bytes(const Segment& segment, const std::string& path) {
  EXPECT_EQ(segment.save_to_disk(path), std::nullopt);
  return read_file(path);
}

void fill(Segment& segment, std::size_t count, std::uint64_t seed, std::size_t dimension = 8) {
  std::mt19937 random(static_cast<std::uint32_t>(seed));
  std::normal_distribution<float> normal;
  for (PointId id = 0; id < count; ++id) {
    std::vector<float> vector(dimension);
    for (float& value : vector) value = normal(random);
    segment.upsert(id, std::move(vector), Payload{{"tenant_id", Keyword{id % 2 ? "odd" : "even"}}});
  }
}

// Test doubles for the system calls; plain functions, so their settings live in globals.
struct Fault {
  enum class Call { Write, Fsync, Rename } call;
  int error;           // errno to fail with; 0 makes write accept nothing
  int fail_at = 1;     // which call of that kind fails (1 = the first)
};
Fault g_fault{};
int g_calls = 0;
int g_renames = 0;

ssize_t faulty_write(int fd, const void* data, std::size_t size) {
  if (g_fault.call == Fault::Call::Write) {
    if (++g_calls == g_fault.fail_at) {
      if (g_fault.error == 0) return 0;
      errno = g_fault.error;
      return -1;
    }
    // A little at a time, so that a later failing call comes part way through the file.
    size = std::min<std::size_t>(size, 1000);
  }
  return ::write(fd, data, size);
}
int faulty_fsync(int fd) {
  if (g_fault.call == Fault::Call::Fsync && ++g_calls == g_fault.fail_at) {
    errno = g_fault.error;
    return -1;
  }
  return ::fsync(fd);
}
int faulty_rename(const char* from, const char* to) {
  if (g_fault.call == Fault::Call::Rename && ++g_calls == g_fault.fail_at) {
    errno = g_fault.error;
    return -1;
  }
  return ::rename(from, to);
}
// Accepts at most 100 bytes a call and is interrupted every third call.
ssize_t trickling_write(int fd, const void* data, std::size_t size) {
  if (++g_calls % 3 == 0) {
    errno = EINTR;
    return -1;
  }
  return ::write(fd, data, std::min<std::size_t>(size, 100));
}
int refusing_rename(const char*, const char*) {
  ++g_renames;
  errno = EPERM;
  return -1;
}

class SnapshotFile : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_calls_ = file_calls();
    g_calls = 0;
    g_renames = 0;
    char pattern[] = "/tmp/tarnwick-snapshot-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    file_calls() = saved_calls_;
    fs::remove_all(dir_);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
  FileCalls saved_calls_{};
};

TEST_F(SnapshotFile, NewStoreSavesSevenBytesAndLoadsBack) {
  Segment empty;
  EXPECT_EQ(hex(saved_bytes(empty, path("a"))), hex(EMPTY_STORE));
  Segment full;
  fill(full, 50, 1);
  ASSERT_EQ(full.load_from_disk(path("a")), std::nullopt);
  EXPECT_EQ(hex(saved_bytes(full, path("b"))), hex(EMPTY_STORE));
}

TEST_F(SnapshotFile, LoadedStoreSearchesLikeTheSavedOne) {
  Segment original;
  fill(original, 800, 2, 16);
  const std::string bytes = saved_bytes(original, path("store"));
  Segment copy;
  fill(copy, 10, 3);
  ASSERT_EQ(copy.load_from_disk(path("store")), std::nullopt);
  EXPECT_EQ(saved_bytes(copy, path("again")), bytes);
  std::mt19937 random(4);
  std::normal_distribution<float> normal;
  for (int query = 0; query < 20; ++query) {
    std::vector<float> vector(16);
    for (float& value : vector) value = normal(random);
    for (Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean}) {
      for (auto tenant : {std::optional<std::string_view>{}, std::optional<std::string_view>{"odd"}}) {
        auto a = original.search(vector, 10, metric, tenant);
        auto b = copy.search(vector, 10, metric, tenant);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
          EXPECT_EQ(std::bit_cast<std::uint32_t>(a[i].score), std::bit_cast<std::uint32_t>(b[i].score));
        }
      }
    }
  }
}

TEST_F(SnapshotFile, LoadTakesTheFilesGraphParameters) {
  HNSWIndex index;
  index.m = 3;
  index.ef_construction = 7;
  index.ef_search = 100;
  const std::string file = encode_snapshot(PointTable{}, index);
  write_file(path("params"), file);
  Segment segment;
  ASSERT_EQ(segment.load_from_disk(path("params")), std::nullopt);
  EXPECT_EQ(hex(saved_bytes(segment, path("out"))), hex(file));
}

TEST_F(SnapshotFile, FailureMessages) {
  const std::string decode = "Postcard binary deserialization pipeline failure (possible corruption): ";
  write_file(path("empty"), "");
  write_file(path("variant"), with_payload_entry(text("k") + raw({0x04})));
  write_file(path("regular"), "x");
  struct Case {
    const char* name;
    bool save;
    std::string target;
    std::string message;
  };
  const Case cases[] = {
      {"load missing", false, path("missing"), "Failed to open snapshot file: No such file or directory (os error 2)"},
      {"load directory", false, dir_, "Failed to read snapshot file bytes: Is a directory (os error 21)"},
      {"load NUL", false, path("a") + std::string(1, '\0') + "b",
       "Failed to open snapshot file: file name contained an unexpected NUL byte"},
      {"load empty", false, path("empty"), decode + "Hit the end of buffer, expected more data"},
      {"load variant 4", false, path("variant"), decode + "Serde Deserialization Error"},
      {"save missing parent", true, path("no/such"),
       "Failed to create snapshot file: No such file or directory (os error 2)"},
      {"save directory", true, dir_, "Failed to create snapshot file: Is a directory (os error 21)"},
      {"save new name with slash", true, path("new/"), "Failed to create snapshot file: Is a directory (os error 21)"},
      {"save under a file", true, path("regular/x"), "Failed to create snapshot file: Not a directory (os error 20)"},
      {"save empty path", true, "", "Failed to create snapshot file: No such file or directory (os error 2)"},
      {"save NUL", true, path("a") + std::string(1, '\0') + "b",
       "Failed to create snapshot file: file name contained an unexpected NUL byte"},
  };
  Segment segment;
  fill(segment, 5, 5);
  const std::string before = saved_bytes(segment, path("before"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = c.save ? segment.save_to_disk(c.target) : segment.load_from_disk(c.target);
    EXPECT_EQ(result, c.message);
  }
  // Failed loads changed nothing; failed saves created nothing.
  EXPECT_EQ(saved_bytes(segment, path("after")), before);
  EXPECT_EQ(names_in(dir_), (std::set<std::string>{"after", "before", "empty", "regular", "variant"}));
}

TEST_F(SnapshotFile, FailedLoadKeepsTheStore) {
  Segment segment;
  fill(segment, 30, 6);
  const std::string before = saved_bytes(segment, path("before"));
  Snapshot store = small_store();
  const std::string file = encode_snapshot(store.points, store.index);
  for (std::size_t length : {std::size_t{1}, file.size() / 2, file.size() - 1}) {
    write_file(path("cut"), file.substr(0, length));
    EXPECT_TRUE(segment.load_from_disk(path("cut")).has_value());
  }
  EXPECT_EQ(saved_bytes(segment, path("after")), before);
}

TEST_F(SnapshotFile, DevicesAreWrittenInPlace) {
  // Guard: nothing in this test may ever be renamed, least of all over a device.
  file_calls().rename = refusing_rename;
  Segment small;
  Segment large;
  fill(large, 200, 7, 32);
  EXPECT_EQ(small.save_to_disk("/dev/null"), std::nullopt);
  for (const Segment* segment : {&small, &large}) {
    EXPECT_EQ(segment->save_to_disk("/dev/full"),
              "Failed to write serialized bytes to disk: No space left on device (os error 28)");
  }
  EXPECT_EQ(g_renames, 0);
  struct stat status {};
  ASSERT_EQ(::stat("/dev/full", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode));
  ASSERT_EQ(::stat("/dev/null", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode));
}

TEST_F(SnapshotFile, FaultsKeepThePreviousFileAndLeaveNoTemporary) {
  using Call = Fault::Call;
  Segment small;
  fill(small, 3, 8);
  Segment large;  // beyond the 8 KiB write buffer
  fill(large, 100, 9, 32);
  const std::string prefix = "Failed to write serialized bytes to disk: ";
  struct Case {
    const char* name;
    Fault fault;
    const Segment* segment;
    std::string message;
  };
  const Case cases[] = {
      {"write EIO", {Call::Write, EIO}, &small, prefix + "Input/output error (os error 5)"},
      {"write ENOSPC", {Call::Write, ENOSPC}, &large, prefix + "No space left on device (os error 28)"},
      {"write ENOSPC part way", {Call::Write, ENOSPC, 3}, &large, prefix + "No space left on device (os error 28)"},
      {"small write accepts nothing", {Call::Write, 0}, &small, prefix + "failed to write the buffered data"},
      {"large write accepts nothing", {Call::Write, 0}, &large, prefix + "failed to write whole buffer"},
      {"fsync", {Call::Fsync, EIO}, &small, prefix + "Input/output error (os error 5)"},
      {"rename", {Call::Rename, EXDEV}, &large, prefix + "Invalid cross-device link (os error 18)"},
  };
  file_calls() = FileCalls{faulty_write, faulty_fsync, faulty_rename};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Segment old;
    g_fault = Fault{Call::Write, 0, 0};  // no fault while the old file is written
    const std::string before = saved_bytes(old, path("store"));
    ::chmod(path("store").c_str(), 0640);
    g_fault = c.fault;
    g_calls = 0;
    EXPECT_EQ(c.segment->save_to_disk(path("store")), c.message);
    EXPECT_EQ(read_file(path("store")), before);
    EXPECT_EQ(names_in(dir_), std::set<std::string>{"store"});
  }
}

TEST_F(SnapshotFile, FailedDirectorySyncIsReportedAfterTheRename) {
  file_calls().fsync = faulty_fsync;
  g_fault = Fault{Fault::Call::Fsync, EIO, 2};  // the file syncs, its directory does not
  Segment segment;
  fill(segment, 4, 10);
  EXPECT_EQ(segment.save_to_disk(path("store")),
            "Failed to write serialized bytes to disk: Input/output error (os error 5)");
  file_calls().fsync = ::fsync;
  EXPECT_EQ(read_file(path("store")), saved_bytes(segment, path("check")));
  EXPECT_EQ(names_in(dir_), (std::set<std::string>{"check", "store"}));
}

TEST_F(SnapshotFile, PartialAndInterruptedWritesComplete) {
  Segment segment;
  fill(segment, 20, 11);
  const std::string expected = saved_bytes(segment, path("plain"));
  file_calls().write = trickling_write;
  EXPECT_EQ(segment.save_to_disk(path("trickled")), std::nullopt);
  EXPECT_EQ(read_file(path("trickled")), expected);
}

TEST_F(SnapshotFile, ReplacedFileKeepsItsPermissionsNewFileFollowsTheUmask) {
  Segment segment;
  write_file(path("old"), "old");
  ::chmod(path("old").c_str(), 0604);
  const mode_t previous = ::umask(027);
  EXPECT_EQ(segment.save_to_disk(path("old")), std::nullopt);
  EXPECT_EQ(segment.save_to_disk(path("new")), std::nullopt);
  ::umask(previous);
  EXPECT_EQ(fs::status(path("old")).permissions(), fs::perms(0604));
  EXPECT_EQ(fs::status(path("new")).permissions(), fs::perms(0640));
}

TEST_F(SnapshotFile, SymlinksAreFollowedAndKept) {
  fs::create_directory(path("real"));
  fs::create_directory(path("links"));
  write_file(path("real/store"), "old");
  fs::create_symlink("../real/store", path("links/store"));
  fs::create_symlink("../real/later", path("links/dangling"));
  fs::create_symlink("dangling", path("links/chain"));
  Segment segment;
  fill(segment, 3, 12);
  const std::string expected = saved_bytes(segment, path("plain"));
  // Through a link the save is still all or nothing.
  file_calls().write = faulty_write;
  g_fault = Fault{Fault::Call::Write, EIO};
  EXPECT_TRUE(segment.save_to_disk(path("links/store")).has_value());
  EXPECT_EQ(read_file(path("real/store")), "old");
  file_calls().write = ::write;
  for (const char* link : {"links/store", "links/chain"}) {
    SCOPED_TRACE(link);
    EXPECT_EQ(segment.save_to_disk(path(link)), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(path(link)));
  }
  EXPECT_EQ(read_file(path("real/store")), expected);
  EXPECT_EQ(read_file(path("real/later")), expected);
  EXPECT_EQ(names_in(path("real")), (std::set<std::string>{"later", "store"}));
  EXPECT_EQ(names_in(path("links")), (std::set<std::string>{"chain", "dangling", "store"}));
}

TEST_F(SnapshotFile, ConcurrentSavesToOnePathLeaveACompleteSnapshot) {
  Segment a;
  fill(a, 300, 13, 16);
  Segment b;
  fill(b, 200, 14, 24);
  const std::string bytes_a = saved_bytes(a, path("a"));
  const std::string bytes_b = saved_bytes(b, path("b"));
  std::vector<std::thread> threads;
  for (const Segment* segment : {&a, &b, &a, &b}) {
    threads.emplace_back([segment, target = path("shared")] {
      for (int round = 0; round < 15; ++round) EXPECT_EQ(segment->save_to_disk(target), std::nullopt);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string result = read_file(path("shared"));
  EXPECT_TRUE(result == bytes_a || result == bytes_b);
  EXPECT_EQ(names_in(dir_), (std::set<std::string>{"a", "b", "shared"}));
}

}  // namespace
}  // namespace tarnwick
