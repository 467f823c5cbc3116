#include "storage/snapshot.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

// No count read from a file may make the decoder reserve more element storage than this.
constexpr std::size_t RESERVATION_LIMIT_BYTES = std::size_t{1} << 20;

constexpr std::uint8_t ABSENT = 0x00;
constexpr std::uint8_t PRESENT = 0x01;

class Writer {
 public:
  void byte(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }

  void varint(std::uint64_t value) {
    while (value >= 0x80) {
      byte(static_cast<std::uint8_t>(value | 0x80));
      value >>= 7;
    }
    byte(static_cast<std::uint8_t>(value));
  }

  void zigzag(std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    varint((bits << 1) ^ static_cast<std::uint64_t>(value >> 63));
  }

  void float32s(std::span<const float> values) {
    if (values.empty()) {
      return;  // the data of an empty span may be null
    }
    if constexpr (std::endian::native == std::endian::little) {
      out_.append(reinterpret_cast<const char*>(values.data()), values.size_bytes());
    } else {
      for (float value : values) {
        little_endian(std::bit_cast<std::uint32_t>(value));
      }
    }
  }

  void float64(double value) { little_endian(std::bit_cast<std::uint64_t>(value)); }

  void text(std::string_view bytes) {
    varint(bytes.size());
    out_.append(bytes);
  }

  std::string take() { return std::move(out_); }

 private:
  template <typename Bits>
  void little_endian(Bits bits) {
    for (std::size_t i = 0; i < sizeof(Bits); ++i) {
      byte(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
  }

  std::string out_;
};

void write_payload(Writer& out, const Payload& payload) {
  out.varint(payload.size());
  for (const auto& [key, value] : payload) {
    out.text(key);
    out.byte(static_cast<std::uint8_t>(value.index()));
    if (const auto* keyword = std::get_if<Keyword>(&value)) {
      out.text(keyword->bytes);
    } else if (const auto* text = std::get_if<Text>(&value)) {
      out.text(text->bytes);
    } else if (const auto* integer = std::get_if<std::int64_t>(&value)) {
      out.zigzag(*integer);
    } else {
      out.float64(std::get<double>(value));
    }
  }
}

// Slots walked between two looks at the cancel token: a few MiB of snapshot at most.
constexpr Slot CANCEL_POLL_SLOTS = 4096;

bool stop_at(Slot slot, const CancelToken* cancel) {
  return slot % CANCEL_POLL_SLOTS == 0 && is_cancelled(cancel);
}

void write_points(Writer& out, const PointTable& points, const CancelToken* cancel) {
  out.varint(points.size());
  for (Slot slot = 0; slot < points.slot_count(); ++slot) {
    if (stop_at(slot, cancel)) {
      return;
    }
    if (!points.has_point(slot)) {
      continue;
    }
    out.varint(points.key(slot));
    out.varint(points.point_id(slot));
    std::span<const float> vector = points.vector(slot);
    out.varint(vector.size());
    out.float32s(vector);
    const Payload* payload = points.payload(slot);
    if (payload == nullptr) {
      out.byte(ABSENT);
    } else {
      out.byte(PRESENT);
      write_payload(out, *payload);
    }
  }
}

void write_graph(Writer& out, const PointTable& points, const HNSWIndex& index,
                 const CancelToken* cancel) {
  out.varint(index.m);
  out.varint(index.ef_construction);
  out.varint(index.ef_search);
  if (index.entry_point) {
    out.byte(PRESENT);
    out.varint(points.key(*index.entry_point));
  } else {
    out.byte(ABSENT);
  }
  out.varint(index.max_level);

  out.varint(index.node_count());
  for (Slot slot = 0; slot < points.slot_count(); ++slot) {
    if (stop_at(slot, cancel)) {
      return;
    }
    if (!index.has_node(slot)) {
      continue;
    }
    const NodeView node = index.node(slot, points);
    out.varint(points.key(slot));
    out.varint(node.id);
    // Every layer is written, empty ones included: the format has no level field.
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      std::span<const Slot> links = node.neighbors(layer);
      out.varint(links.size());
      for (Slot link : links) {
        out.varint(points.key(link));
      }
    }
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, smallest = 0x10000;
    } else {
      return false;
    }
    if (size - i < length) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const std::uint8_t next = bytes[i + k];
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Reads fields from the front of the input. Every method returns false once the input is
// found bad and leaves the reason in error().
class Reader {
 public:
  explicit Reader(std::string_view input) : input_(input) {}

  SnapshotDecodeError error() const { return error_; }
  std::size_t remaining() const { return input_.size() - position_; }

  bool fail(SnapshotDecodeError error) {
    error_ = error;
    return false;
  }

  bool byte(std::uint8_t& value) {
    if (remaining() == 0) {
      return fail(SnapshotDecodeError::EndOfInput);
    }
    value = static_cast<std::uint8_t>(input_[position_++]);
    return true;
  }

  // A varint of at most `max_bytes` bytes whose last byte may be at most `last_max`: 10 bytes
  // ending in 0x00 or 0x01 for 64-bit values, 5 bytes ending in at most 0x0F for 32-bit ones.
  bool bounded_varint(unsigned max_bytes, std::uint8_t last_max, std::uint64_t& value) {
    value = 0;
    for (unsigned index = 0; index < max_bytes; ++index) {
      std::uint8_t next = 0;
      if (!byte(next)) {
        return false;
      }
      if (index + 1 == max_bytes && next > last_max) {
        return fail(SnapshotDecodeError::BadVarint);
      }
      value |= static_cast<std::uint64_t>(next & 0x7F) << (7 * index);
      if ((next & 0x80) == 0) {
        return true;
      }
    }
    return fail(SnapshotDecodeError::BadVarint);  // not reached: the last byte ends it
  }

  bool varint(std::uint64_t& value) { return bounded_varint(10, 0x01, value); }

  bool varint32(std::uint32_t& value) {
    std::uint64_t wide = 0;
    if (!bounded_varint(5, 0x0F, wide)) {
      return false;
    }
    value = static_cast<std::uint32_t>(wide);
    return true;
  }

  bool zigzag(std::int64_t& value) {
    std::uint64_t bits = 0;
    if (!varint(bits)) {
      return false;
    }
    value = static_cast<std::int64_t>((bits >> 1) ^ (0 - (bits & 1)));
    return true;
  }

  bool present(bool& value) {
    std::uint8_t tag = 0;
    if (!byte(tag)) {
      return false;
    }
    if (tag > PRESENT) {
      return fail(SnapshotDecodeError::BadOptionTag);
    }
    value = tag == PRESENT;
    return true;
  }

  // All `count` elements must be in the input before anything is allocated, so the
  // allocation never exceeds the input's own size.
  bool float32s(std::uint64_t count, std::vector<float>& values) {
    if (count > remaining() / sizeof(float)) {
      return fail(SnapshotDecodeError::EndOfInput);
    }
    if (count == 0) {
      return true;  // memcpy must not see the null data of an empty vector
    }
    values.resize(count);
    const char* source = input_.data() + position_;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(values.data(), source, count * sizeof(float));
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        values[i] = std::bit_cast<float>(little_endian<std::uint32_t>(source + i * sizeof(float)));
      }
    }
    position_ += count * sizeof(float);
    return true;
  }

  bool float64(double& value) {
    if (remaining() < sizeof(double)) {
      return fail(SnapshotDecodeError::EndOfInput);
    }
    value = std::bit_cast<double>(little_endian<std::uint64_t>(input_.data() + position_));
    position_ += sizeof(double);
    return true;
  }

  bool text(std::string& value) {
    std::uint64_t length = 0;
    if (!varint(length)) {
      return false;
    }
    if (length > remaining()) {
      return fail(SnapshotDecodeError::EndOfInput);
    }
    std::string_view bytes = input_.substr(position_, length);
    if (!is_valid_utf8(bytes)) {
      return fail(SnapshotDecodeError::BadUtf8);
    }
    value.assign(bytes);
    position_ += length;
    return true;
  }

 private:
  template <typename Bits>
  static Bits little_endian(const char* source) {
    Bits bits = 0;
    for (std::size_t i = 0; i < sizeof(Bits); ++i) {
      bits |= static_cast<Bits>(static_cast<std::uint8_t>(source[i])) << (8 * i);
    }
    return bits;
  }

  std::string_view input_;
  std::size_t position_ = 0;
  SnapshotDecodeError error_ = SnapshotDecodeError::EndOfInput;
};

// How many elements of `element_size` bytes to reserve for a count read from the file.
std::size_t map_reservation(std::uint64_t count, std::size_t element_size) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, RESERVATION_LIMIT_BYTES / element_size));
}

// Sequences whose elements take at least one byte each cannot be longer than the input left.
std::size_t sequence_reservation(std::uint64_t count, std::size_t element_size,
                                 std::size_t bytes_left) {
  return count > bytes_left ? 0 : map_reservation(count, element_size);
}

// Keyword and Text carry the same content: length-prefixed UTF-8.
template <typename StringValue>
bool read_string_value(Reader& in, PayloadValue& value) {
  StringValue string;
  if (!in.text(string.bytes)) {
    return false;
  }
  value = std::move(string);
  return true;
}

bool read_payload_value(Reader& in, PayloadValue& value) {
  std::uint32_t variant = 0;
  if (!in.varint32(variant)) {
    return false;
  }
  // The variant of the file is kept whatever the string's length.
  switch (variant) {
    case 0:
      return read_string_value<Keyword>(in, value);
    case 1:
      return read_string_value<Text>(in, value);
    case 2: {
      std::int64_t integer = 0;
      if (!in.zigzag(integer)) {
        return false;
      }
      value = integer;
      return true;
    }
    case 3: {
      double number = 0;
      if (!in.float64(number)) {
        return false;
      }
      value = number;
      return true;
    }
    default:
      return in.fail(SnapshotDecodeError::UnknownVariant);
  }
}

bool read_payload(Reader& in, Payload& payload) {
  std::uint64_t count = 0;
  if (!in.varint(count)) {
    return false;
  }
  payload.reserve(map_reservation(count, sizeof(Payload::value_type)));
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string key;
    PayloadValue value;
    if (!in.text(key) || !read_payload_value(in, value)) {
      return false;
    }
    payload.insert_or_assign(std::move(key), std::move(value));  // a repeated key: later wins
  }
  return true;
}

bool read_point(Reader& in, PointTable& points) {
  std::uint64_t key = 0;
  std::uint64_t length = 0;
  Point point;
  if (!in.varint(key) || !in.varint(point.id) || !in.varint(length) ||
      !in.float32s(length, point.vector)) {
    return false;
  }
  bool has_payload = false;
  if (!in.present(has_payload)) {
    return false;
  }
  if (has_payload && !read_payload(in, point.payload.emplace())) {
    return false;
  }
  if (!points.insert(key, std::move(point))) {
    return in.fail(SnapshotDecodeError::TooManyIdentifiers);
  }
  return true;
}

// An identifier read from the file, turned into its slot (created without a point if new).
bool read_slot(Reader& in, PointTable& points, Slot& slot) {
  std::uint64_t key = 0;
  if (!in.varint(key)) {
    return false;
  }
  std::optional<Slot> found = points.slot_for(key);
  if (!found) {
    return in.fail(SnapshotDecodeError::TooManyIdentifiers);
  }
  slot = *found;
  return true;
}

bool read_links(Reader& in, PointTable& points, std::vector<Slot>& links) {
  std::uint64_t count = 0;
  if (!in.varint(count)) {
    return false;
  }
  links.reserve(sequence_reservation(count, sizeof(Slot), in.remaining()));
  for (std::uint64_t i = 0; i < count; ++i) {
    Slot link = 0;
    if (!read_slot(in, points, link)) {
      return false;
    }
    links.push_back(link);
  }
  return true;
}

bool read_node(Reader& in, PointTable& points, HNSWIndex& index) {
  Slot slot = 0;
  HNSWNode node;
  if (!read_slot(in, points, slot) || !in.varint(node.id)) {
    return false;
  }
  std::array<std::vector<Slot>, MAX_LAYERS> lists;
  for (std::vector<Slot>& links : lists) {
    if (!read_links(in, points, links)) {
      return false;
    }
  }
  // The node keeps upper lists only up to its last non-empty one.
  auto last = std::find_if(lists.rbegin(), std::prev(lists.rend()),
                           [](const std::vector<Slot>& links) { return !links.empty(); });
  const auto upper_end = last.base();
  node.layer0 = std::move(lists[0]);
  node.upper.assign(std::make_move_iterator(lists.begin() + 1), std::make_move_iterator(upper_end));
  index.set_node(slot, std::move(node), points);
  return true;
}

bool read_snapshot(Reader& in, Snapshot& snapshot, const CancelToken* cancel) {
  PointTable& points = snapshot.points;
  HNSWIndex& index = snapshot.index;

  std::uint64_t point_count = 0;
  if (!in.varint(point_count)) {
    return false;
  }
  for (std::uint64_t i = 0; i < point_count; ++i) {
    if (i % CANCEL_POLL_SLOTS == 0 && is_cancelled(cancel)) {
      return in.fail(SnapshotDecodeError::Cancelled);
    }
    if (!read_point(in, points)) {
      return false;
    }
  }

  bool has_entry_point = false;
  if (!in.varint(index.m) || !in.varint(index.ef_construction) || !in.varint(index.ef_search) ||
      !in.present(has_entry_point)) {
    return false;
  }
  if (has_entry_point) {
    Slot entry = 0;
    if (!read_slot(in, points, entry)) {
      return false;
    }
    index.entry_point = entry;
  }
  if (!in.varint(index.max_level)) {
    return false;
  }

  std::uint64_t node_count = 0;
  if (!in.varint(node_count)) {
    return false;
  }
  for (std::uint64_t i = 0; i < node_count; ++i) {
    if (i % CANCEL_POLL_SLOTS == 0 && is_cancelled(cancel)) {
      return in.fail(SnapshotDecodeError::Cancelled);
    }
    if (!read_node(in, points, index)) {
      return false;
    }
  }
  return true;  // anything after the node table is ignored
}

}  // namespace

std::string_view decode_error_text(SnapshotDecodeError error) {
  switch (error) {
    case SnapshotDecodeError::EndOfInput:
      return "Hit the end of buffer, expected more data";
    case SnapshotDecodeError::BadVarint:
      return "Found a varint that didn't terminate. Is the usize too big for this platform?";
    case SnapshotDecodeError::BadUtf8:
      return "Tried to parse invalid utf-8";
    case SnapshotDecodeError::BadOptionTag:
      return "Found an Option discriminant that wasn't 0 or 1";
    case SnapshotDecodeError::UnknownVariant:
      return "Serde Deserialization Error";
    case SnapshotDecodeError::TooManyIdentifiers:
      return "The snapshot names more point identifiers than a store can hold";
    case SnapshotDecodeError::Cancelled:
      return "cancelled";
  }
  return "";
}

std::string encode_snapshot(const PointTable& points, const HNSWIndex& index,
                            const CancelToken* cancel) {
  Writer out;
  write_points(out, points, cancel);
  write_graph(out, points, index, cancel);
  return out.take();
}

std::variant<Snapshot, SnapshotDecodeError> decode_snapshot(std::string_view bytes,
                                                            const CancelToken* cancel) {
  Reader in(bytes);
  Snapshot snapshot;
  if (!read_snapshot(in, snapshot, cancel)) {
    return in.error();
  }
  return snapshot;
}

}  // namespace tarnwick
