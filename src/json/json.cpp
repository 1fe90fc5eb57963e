#include "json/json.h"

#include <new>
#include <nlohmann/json.hpp>

#include "text/byte_text.h"
#include "text/bytes.h"
#include "text/unicode.h"

namespace kelp {

using Ordered = nlohmann::ordered_json;

// The library's value, held in the Json's own bytes.
struct JsonStorage {
  static_assert(sizeof(Ordered) <= sizeof(Json::storage_));
  static_assert(alignof(Ordered) <= alignof(Json));

  static Ordered& of(Json& json) {
    return *std::launder(reinterpret_cast<Ordered*>(json.storage_));
  }
  static const Ordered& of(const Json& json) {
    return *std::launder(reinterpret_cast<const Ordered*>(json.storage_));
  }
  static Json make(Ordered value) {
    Json json;
    of(json) = std::move(value);
    return json;
  }
};

namespace {

// Valid UTF-8 as it is (the common case, copied once), anything else made valid.
std::string valid_text(std::string_view text) {
  return is_valid_utf8(text) ? std::string(text) : decode_text(bytes_of(text));
}

}  // namespace

Json::Json() { new (storage_) Ordered(); }
Json::Json(const Json& other) { new (storage_) Ordered(JsonStorage::of(other)); }
Json::Json(Json&& other) noexcept { new (storage_) Ordered(std::move(JsonStorage::of(other))); }
Json& Json::operator=(const Json& other) {
  JsonStorage::of(*this) = JsonStorage::of(other);
  return *this;
}
Json& Json::operator=(Json&& other) noexcept {
  JsonStorage::of(*this) = std::move(JsonStorage::of(other));
  return *this;
}
Json::~Json() { JsonStorage::of(*this).~Ordered(); }

Json& Json::add(std::string_view key, Json value) {
  Ordered& self = JsonStorage::of(*this);
  if (self.is_null()) self = Ordered::object();
  if (self.is_object()) self[valid_text(key)] = std::move(JsonStorage::of(value));
  return *this;
}

Json& Json::push(Json value) {
  Ordered& self = JsonStorage::of(*this);
  if (self.is_null()) self = Ordered::array();
  if (self.is_array()) self.push_back(std::move(JsonStorage::of(value)));
  return *this;
}

Json json_null() { return {}; }
Json json_bool(bool value) { return JsonStorage::make(value); }
Json json_string(std::string_view text) { return JsonStorage::make(valid_text(text)); }
Json json_array() { return JsonStorage::make(Ordered::array()); }
Json json_object() { return JsonStorage::make(Ordered::object()); }
Json json_float(double value) { return JsonStorage::make(value); }
Json json_signed(std::int64_t value) { return JsonStorage::make(value); }
Json json_unsigned(std::uint64_t value) { return JsonStorage::make(value); }

Json json_string_or_null(const std::optional<std::string>& text) {
  return text ? json_string(*text) : json_null();
}

std::string json_dump(const Json& value) {
  // Strings were made valid when set; `replace` only keeps a fault there from ever throwing.
  return JsonStorage::of(value).dump(-1, ' ', false, Ordered::error_handler_t::replace);
}

}  // namespace kelp
