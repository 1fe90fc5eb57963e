#include "json/json.h"

#include <nlohmann/json.hpp>

#include "text/byte_text.h"
#include "text/bytes.h"

namespace kelp {
namespace {

using Ordered = nlohmann::ordered_json;

Ordered to_library(const Json& value) {
  switch (value.kind) {
    case Json::Kind::Null:
      return nullptr;
    case Json::Kind::Bool:
      return value.boolean;
    case Json::Kind::Signed:
      return value.signed_number;
    case Json::Kind::Unsigned:
      return value.unsigned_number;
    case Json::Kind::Float:
      return value.float_number;
    case Json::Kind::String:
      return value.text;
    case Json::Kind::Array: {
      Ordered array = Ordered::array();
      for (const Json& item : value.items) array.push_back(to_library(item));
      return array;
    }
    case Json::Kind::Object: {
      Ordered object = Ordered::object();
      for (std::size_t i = 0; i < value.keys.size(); ++i) {
        object[value.keys[i]] = to_library(value.items[i]);
      }
      return object;
    }
  }
  return nullptr;
}

Json of_kind(Json::Kind kind) {
  Json value;
  value.kind = kind;
  return value;
}

}  // namespace

Json& Json::add(std::string_view key, Json value) {
  keys.push_back(decode_text(bytes_of(key)));
  items.push_back(std::move(value));
  return *this;
}

Json& Json::push(Json value) {
  items.push_back(std::move(value));
  return *this;
}

Json json_null() { return {}; }

Json json_bool(bool value) {
  Json json = of_kind(Json::Kind::Bool);
  json.boolean = value;
  return json;
}

Json json_string(std::string_view text) {
  Json json = of_kind(Json::Kind::String);
  json.text = decode_text(bytes_of(text));
  return json;
}

Json json_array() { return of_kind(Json::Kind::Array); }
Json json_object() { return of_kind(Json::Kind::Object); }

Json json_float(double value) {
  Json json = of_kind(Json::Kind::Float);
  json.float_number = value;
  return json;
}

Json json_signed(std::int64_t value) {
  Json json = of_kind(Json::Kind::Signed);
  json.signed_number = value;
  return json;
}

Json json_unsigned(std::uint64_t value) {
  Json json = of_kind(Json::Kind::Unsigned);
  json.unsigned_number = value;
  return json;
}

Json json_string_or_null(const std::optional<std::string>& text) {
  return text ? json_string(*text) : json_null();
}

std::string json_dump(const Json& value) {
  // Strings were made valid when set; `replace` only keeps a fault there from ever throwing.
  return to_library(value).dump(-1, ' ', false, Ordered::error_handler_t::replace);
}

}  // namespace kelp
