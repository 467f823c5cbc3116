// libFuzzer target: any byte string either fails to decode with a reason or decodes to a
// store whose own snapshot decodes again to a store of the same size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "storage/snapshot.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tarnwick::Snapshot;
  auto first = tarnwick::decode_snapshot(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto* store = std::get_if<Snapshot>(&first);
  if (store == nullptr) {
    return 0;
  }
  const std::string once = tarnwick::encode_snapshot(store->points, store->index);
  auto second = tarnwick::decode_snapshot(once);
  const auto* copy = std::get_if<Snapshot>(&second);
  // Entry order may change between the two files; the content, and so the length, may not.
  if (copy == nullptr || tarnwick::encode_snapshot(copy->points, copy->index).size() != once.size() ||
      copy->points.size() != store->points.size() || copy->index.node_count() != store->index.node_count()) {
    __builtin_trap();
  }
  return 0;
}
