// Points, payload values and the tenant test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace tarnwick {

using PointId = std::uint64_t;

// Strings of at most this many UTF-8 bytes are stored as Keyword, longer ones as Text.
inline constexpr std::size_t KEYWORD_MAX_BYTES = 64;

// The payload key that names a point's tenant.
inline constexpr std::string_view TENANT_KEY = "tenant_id";

struct Keyword {
  std::string bytes;  // UTF-8, owned
  bool operator==(const Keyword&) const = default;
};

struct Text {
  std::string bytes;  // UTF-8, owned
  bool operator==(const Text&) const = default;
};

// The variant index is the tag that snapshots write: Keyword 0, Text 1, Integer 2, Float 3.
using PayloadValue = std::variant<Keyword, Text, std::int64_t, double>;

using Payload = std::unordered_map<std::string, PayloadValue>;

// A string value, Keyword or Text by its UTF-8 length.
PayloadValue make_string_value(std::string bytes);

struct Point {
  PointId id = 0;                  // reported by searches; may differ from the table key after a load
  std::vector<float> vector;       // owned coordinates, any length
  std::optional<Payload> payload;  // absent and empty are different states
};

// The tenant a payload names: its "tenant_id" value when that is a Keyword or a Text.
// A missing payload, a missing key or a numeric value name no tenant.
std::optional<std::string_view> tenant_of(const Payload* payload);

// True when the point's tenant has exactly the given bytes (case-sensitive, no normalisation).
bool matches_tenant(const Point& point, std::string_view tenant);

}  // namespace tarnwick
