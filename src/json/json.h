// JSON values built in the order they are written, and written on one line.
//
// The tool's one way to write JSON (for `decode --json`, the board and its results): a caller
// builds a `Json` value out of the functions below and `json_dump` writes it. Objects keep their
// members in the order they were added (a key added twice keeps its first place and takes the
// last value). Numbers are written as C++ would print them: integers exactly, floating-point
// numbers in their shortest form that reads back to the same double (27.25, 79.5), a non-finite
// one as null.
//
// Strings are UTF-8 in and out: a string handed in that is not valid UTF-8 is made valid when it
// is set (each maximal ill-formed subpart becomes U+FFFD, as everywhere in the tool), so writing
// never fails. The output escapes only what JSON requires (the quote, the backslash, control
// characters below U+0020); other characters, `<`, `&` and non-ASCII letters included, stand for
// themselves, which is valid JSON for any reader and safe once a page sets it as text.
//
// A value owns its members; building and writing touch nothing else (no I/O, no globals).
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelp {

// A JSON value (null when default-built). Holds the library's value in place: copying and
// moving cost what copying the value costs, and nothing else is allocated for it.
class Json {
 public:
  Json();
  Json(const Json& other);
  Json(Json&& other) noexcept;
  Json& operator=(const Json& other);
  Json& operator=(Json&& other) noexcept;
  ~Json();

  // An object (or null, which becomes one): appends the member and returns the object, so that
  // members chain. On any other value it does nothing.
  Json& add(std::string_view key, Json value);
  // An array (or null, which becomes one): appends the item and returns the array. On any other
  // value it does nothing.
  Json& push(Json value);

 private:
  friend struct JsonStorage;
  alignas(8) unsigned char storage_[16];
};

Json json_null();
Json json_bool(bool value);
Json json_string(std::string_view text);
Json json_array();
Json json_object();
Json json_float(double value);
Json json_signed(std::int64_t value);
Json json_unsigned(std::uint64_t value);

// Any integer type (not bool), written exactly.
template <std::integral T>
requires(!std::same_as<T, bool>) Json json_number(T value) {
  if constexpr (std::signed_integral<T>) {
    return json_signed(value);
  } else {
    return json_unsigned(value);
  }
}

// null for nothing.
template <std::integral T>
Json json_number_or_null(const std::optional<T>& value) {
  return value ? json_number(*value) : json_null();
}
Json json_string_or_null(const std::optional<std::string>& text);

// The value on one line: no spaces, no line end.
std::string json_dump(const Json& value);

}  // namespace kelp
