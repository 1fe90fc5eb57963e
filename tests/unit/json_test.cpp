// JSON as the tool writes it: members in the order added, numbers exactly, strings valid UTF-8
// whatever they were handed (names from files: quotes, markup, accents), escaped only where JSON
// must.
#include "json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kelp {
namespace {

TEST(Json, ValuesAndStrings) {
  Json object = json_object();
  object.add("z", json_number(1u))
      .add("a", json_array().push(json_null()).push(json_bool(false)).push(json_object()))
      .add("ints", json_array()
                       .push(json_number(std::numeric_limits<std::uint64_t>::max()))
                       .push(json_number(std::numeric_limits<std::int64_t>::min())))
      .add("floats", json_array()
                         .push(json_float(7950 / 100.0))
                         .push(json_float(5758 / 100.0))
                         .push(json_float(std::nan(""))));
  EXPECT_EQ(json_dump(object),
            "{\"z\":1,\"a\":[null,false,{}],\"ints\":[18446744073709551615,"
            "-9223372036854775808],\"floats\":[79.5,57.58,null]}");

  // A member on a value that is no object, an item on one that is no array: nothing happens.
  Json copy = object;
  EXPECT_EQ(json_dump(json_string("s").add("k", copy).push(copy)), "\"s\"");
  EXPECT_EQ(json_dump(copy), json_dump(object));

  const std::pair<std::string, std::string> strings[] = {
      {"\"DOC\" <i>O'NEIL</i> & \u00C9LAN \u2019 \\",
       "\"\\\"DOC\\\" <i>O'NEIL</i> & \u00C9LAN \u2019 \\\\\""},
      {std::string("\t\n\r\x01\x7F\0", 6), "\"\\t\\n\\r\\u0001\x7F\\u0000\""},
      // Ill-formed: one U+FFFD per maximal subpart, the rest kept.
      {"a\xFF"
       "b\xC3",
       "\"a\uFFFDb\uFFFD\""},
      {"\xE2\x80 \xED\xA0\x80", "\"\uFFFD \uFFFD\uFFFD\uFFFD\""},
  };
  for (const auto& [in, out] : strings) {
    EXPECT_EQ(json_dump(json_string(in)), out) << in;
    EXPECT_EQ(json_dump(json_object().add(in, json_null())), "{" + out + ":null}") << in;
  }
}

}  // namespace
}  // namespace kelp
