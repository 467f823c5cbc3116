#include "core/vector.hpp"

namespace tarnwick {

PayloadValue make_string_value(std::string bytes) {
  if (bytes.size() <= KEYWORD_MAX_BYTES) {
    return Keyword{std::move(bytes)};
  }
  return Text{std::move(bytes)};
}

std::optional<std::string_view> tenant_of(const Payload* payload) {
  if (payload == nullptr) {
    return std::nullopt;
  }
  auto found = payload->find(std::string(TENANT_KEY));
  if (found == payload->end()) {
    return std::nullopt;
  }
  if (const auto* keyword = std::get_if<Keyword>(&found->second)) {
    return std::string_view(keyword->bytes);
  }
  if (const auto* text = std::get_if<Text>(&found->second)) {
    return std::string_view(text->bytes);
  }
  return std::nullopt;
}

bool matches_tenant(const Point& point, std::string_view tenant) {
  auto own = tenant_of(point.payload ? &*point.payload : nullptr);
  return own.has_value() && *own == tenant;
}

}  // namespace tarnwick
