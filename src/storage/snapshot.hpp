// The snapshot format: the whole store (point table and graph) as one positional byte string.
//
// Unsigned numbers are LEB128 varints, signed ones ZigZag varints, floats raw little-endian
// bits. There is no header, version or checksum; the reader must know the layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/point_table.hpp"
#include "storage/cancel_token.hpp"
#include "index/hnsw.hpp"

namespace tarnwick {

enum class SnapshotDecodeError : std::uint8_t {
  EndOfInput,
  BadVarint,
  BadUtf8,
  BadOptionTag,
  UnknownVariant,
  // The file names more distinct identifiers than a point table has slots for.
  TooManyIdentifiers,
  // Not a fault of the file: the caller stopped the decode.
  Cancelled,
};

// The fixed text that load failures report for a reason.
std::string_view decode_error_text(SnapshotDecodeError error);

struct Snapshot {
  PointTable points;
  HNSWIndex index;
};

// The complete file content for the store; never fails. Once `cancel` is set it stops early
// and returns a partial content that the caller must drop.
std::string encode_snapshot(const PointTable& points, const HNSWIndex& index,
                            const CancelToken* cancel = nullptr);

// New tables from a complete file content. Bytes after the node table are ignored.
std::variant<Snapshot, SnapshotDecodeError> decode_snapshot(std::string_view bytes,
                                                            const CancelToken* cancel = nullptr);

}  // namespace tarnwick
