// JSON as the tool writes it: members in the order added, numbers exactly, strings valid UTF-8
// whatever they were handed, and only what JSON requires escaped.
#include "json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kelp {
namespace {

TEST(Json, ValuesInOrderOnOneLine) {
  Json inner = json_array();
  inner.push(json_null()).push(json_bool(false)).push(json_object()).push(json_array());
  Json object = json_object();
  object.add("z", json_number(1u))
      .add("a", json_number(-2))
      .add("m", std::move(inner))
      .add("max", json_number(std::numeric_limits<std::uint64_t>::max()))
      .add("min", json_number(std::numeric_limits<std::int64_t>::min()))
      .add("floats", json_array()
                         .push(json_float(27.25))
                         .push(json_float(7950 / 100.0))
                         .push(json_float(5758 / 100.0))
                         .push(json_float(0.1))
                         .push(json_float(std::nan(""))))
      .add("none", json_number_or_null(std::optional<unsigned>()))
      .add("some", json_string_or_null(std::string("x")));
  EXPECT_EQ(json_dump(object),
            "{\"z\":1,\"a\":-2,\"m\":[null,false,{},[]],\"max\":18446744073709551615,"
            "\"min\":-9223372036854775808,\"floats\":[27.25,79.5,57.58,0.1,null],\"none\":null,"
            "\"some\":\"x\"}");
  // A key added again keeps its place and takes the new value.
  Json twice = json_object();
  twice.add("a", json_number(1)).add("b", json_number(2)).add("a", json_number(3));
  EXPECT_EQ(json_dump(twice), "{\"a\":3,\"b\":2}");
}

TEST(Json, StringsAreValidUtf8AndEscapedOnlyWhereJsonMust) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"\"DOC\" <i>O'NEIL</i> & \u00C9LAN \u2019",
       "\"\\\"DOC\\\" <i>O'NEIL</i> & \u00C9LAN \u2019\""},
      {"back\\slash /", "\"back\\\\slash /\""},
      {"tab\tLF\nCR\r\x01\x1F\x7F", "\"tab\\tLF\\nCR\\r\\u0001\\u001f\x7F\""},
      {"\u2028 \U0001F3CA", "\"\u2028 \U0001F3CA\""},
      // Ill-formed: each maximal subpart one U+FFFD, the rest kept.
      {"a\xFF"
       "b",
       "\"a\uFFFDb\""},
      {"\xC3", "\"\uFFFD\""},
      {"\xE2\x80", "\"\uFFFD\""},
      {"\xED\xA0\x80", "\"\uFFFD\uFFFD\uFFFD\""},
      {"\xC0\xAF", "\"\uFFFD\uFFFD\""},
      {std::string("nul\0in", 6), "\"nul\\u0000in\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json_dump(json_string(c.in)), c.out) << c.in;
    Json object = json_object();
    object.add(c.in, json_null());
    EXPECT_EQ(json_dump(object), "{" + c.out + ":null}") << c.in;
  }
}

}  // namespace
}  // namespace kelp
