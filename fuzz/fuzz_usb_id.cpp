// Reading a USB identity out of a device instance ID. Arbitrary IDs must never crash the parser
// and, when they parse, every piece must be a slice of the ID at its documented place; IDs built
// from known pieces must give those pieces back.
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/render.h"
#include "fuzz_check.h"
#include "serial/ports.h"
#include "text/byte_text.h"
#include "text/hex.h"
#include "text/unicode.h"

namespace {

std::size_t char_count(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < text.size(); ++n) kelp::next_code_point(text, pos);
  return n;
}

// `count` characters of valid text starting at `pos`, advancing `pos`.
std::string take(std::string_view text, std::size_t& pos, std::size_t count) {
  const std::size_t start = pos;
  for (std::size_t i = 0; i < count && pos < text.size(); ++i) kelp::next_code_point(text, pos);
  return std::string(text.substr(start, pos - start));
}

void check_arbitrary(std::string_view raw) {
  const auto parts = kelp::parse_usb_id(raw);
  if (!parts) return;
  // Ill-formed bytes count as one replacement character each.
  const std::string text =
      kelp::is_valid_utf8(raw) ? std::string(raw) : kelp::decode_text(kelp::fuzz::as_bytes(raw));
  const std::size_t vid = text.find("VID_");
  KELP_CHECK(vid != std::string::npos);
  std::size_t pos = vid + 4;
  KELP_CHECK(take(text, pos, 4) == parts->vendor);
  KELP_CHECK(char_count(parts->vendor) == 4 && char_count(parts->product) == 4);
  const std::string_view sep = std::string_view(text).substr(pos, 5);
  KELP_CHECK(sep == "&PID_" || sep == "+PID_");
  pos += 5;
  KELP_CHECK(take(text, pos, 4) == parts->product);
  if (parts->interface_number) {
    KELP_CHECK(char_count(*parts->interface_number) == 2);
    const std::string_view mi = std::string_view(text).substr(pos, 4);
    KELP_CHECK(mi == "&MI_" || mi == "+MI_");
    pos += 4;
    KELP_CHECK(take(text, pos, 2) == *parts->interface_number);
  }
  if (parts->serial) {
    KELP_CHECK(pos < text.size() && (text[pos] == '\\' || text[pos] == '+'));
    KELP_CHECK(std::string_view(text).substr(pos + 1, parts->serial->size()) == *parts->serial);
    KELP_CHECK(parts->serial->find_first_of("\\+&. ") == std::string::npos);
  }
}

// An ID of the usual shape out of the input's bytes: vendor and product of four letters or
// digits each, an optional interface, an ASCII serial, and a tail.
void check_constructed(const std::uint8_t* data, std::size_t size) {
  if (size < 12) return;
  static constexpr char ALNUM[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_:";
  auto pick = [](std::uint8_t b) { return ALNUM[b % (sizeof ALNUM - 1)]; };
  std::string vendor, product, interface_number, serial;
  for (std::size_t i = 0; i < 4; ++i) vendor += pick(data[i]);
  for (std::size_t i = 4; i < 8; ++i) product += pick(data[i]);
  for (std::size_t i = 8; i < 10; ++i) interface_number += pick(data[i]);
  const bool with_interface = data[10] & 1;
  const char glue = (data[10] & 2) ? '+' : '&';
  const char before_serial = (data[10] & 4) ? '+' : '\\';
  for (std::size_t i = 12; i < size && i < 60; ++i) serial += pick(data[i]);
  // "+MI_" right after the product is an interface, whatever the builder meant: a serial glued
  // on with "+" that begins with "MI_" makes an ID that reads back differently. Keep clear of it.
  if (!with_interface && before_serial == '+' && serial.starts_with("MI_")) serial[0] = '0';
  std::string id = "USB\\VID_" + vendor + glue + "PID_" + product;
  if (with_interface) id += std::string(1, glue) + "MI_" + interface_number;
  id += before_serial + serial + "&0&" + std::to_string(data[11]);

  const auto parts = kelp::parse_usb_id(id);
  KELP_CHECK(parts && parts->vendor == vendor && parts->product == product);
  KELP_CHECK(parts->interface_number ==
             (with_interface ? std::optional(interface_number) : std::nullopt));
  KELP_CHECK(parts->serial == serial);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_arbitrary(kelp::fuzz::as_text(data, size));
  check_constructed(data, size);
  return 0;
}
