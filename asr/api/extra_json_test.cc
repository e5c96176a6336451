#include "api/extra_json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The value FindJsonValue points at, up to the end of the text, or "<null>".
std::string ValueAt(const char* json, const char* key) {
  const char* p = FindJsonValue(json, key);
  return p == nullptr ? "<null>" : std::string(p);
}

TEST(FindJsonValue, AbsentInputsAndKeys) {
  EXPECT_EQ(FindJsonValue(nullptr, "a"), nullptr);
  EXPECT_EQ(FindJsonValue("", "a"), nullptr);
  EXPECT_EQ(FindJsonValue("{\"b\": 1}", "a"), nullptr);
  // The key must be quoted exactly: a longer or shorter name is another key.
  EXPECT_EQ(FindJsonValue("{\"ab\": 1, \"b\": 2}", "a"), nullptr);
  EXPECT_EQ(ValueAt("{\"ab\": 1, \"a\": 2}", "a"), "2}");
}

TEST(FindJsonValue, SkipsOnlyJsonWhitespaceAroundTheColon) {
  EXPECT_EQ(ValueAt("{\"a\" \t\r\n: \t\r\n7}", "a"), "7}");
  EXPECT_EQ(ValueAt("{\"a\":7}", "a"), "7}");
  // Vertical tab and form feed are not whitespace here: the occurrence is
  // not followed by a colon, so it does not count.
  EXPECT_EQ(FindJsonValue("{\"a\"\v: 7}", "a"), nullptr);
  EXPECT_EQ(FindJsonValue("{\"a\"\f: 7}", "a"), nullptr);
  // After the colon they are not skipped either: the value starts there.
  EXPECT_EQ(ValueAt("{\"a\":\v7}", "a"), "\v7}");
}

TEST(FindJsonValue, FirstOccurrenceFollowedByAColonWins) {
  // An occurrence as a value is passed over.
  EXPECT_EQ(ValueAt("{\"x\": \"a\", \"a\": 5}", "a"), "5}");
  // Nesting and string context are not considered.
  EXPECT_EQ(ValueAt("{\"outer\": {\"a\": 1}, \"a\": 2}", "a"), "1}, \"a\": 2}");
  EXPECT_EQ(ValueAt("{\"note\": \"\\\"a\\\": 3\", \"a\": 4}", "a"), "4}");
  EXPECT_EQ(ValueAt("{\"note\": \"say \\\"a\\\"\", \"a\": 4}", "a"), "4}");
  // Text that is no JSON at all is searched just the same.
  EXPECT_EQ(ValueAt("garbage \"a\":9", "a"), "9");
  EXPECT_EQ(ValueAt("\"a\"\"a\":1", "a"), "1");
}

TEST(FindJsonValue, KeyAtTheVeryEnd) {
  EXPECT_EQ(FindJsonValue("{\"a\"", "a"), nullptr);
  EXPECT_EQ(FindJsonValue("{\"a\" ", "a"), nullptr);
  EXPECT_EQ(ValueAt("{\"a\":", "a"), "");
  EXPECT_EQ(ValueAt("{\"a\":  ", "a"), "");
}

TEST(GetJsonString, PlainValuesAndDefaults) {
  const char* json = "{\"pad_mode\": \"zero\", \"empty\": \"\", \"num\": 5, \"t\": true}";
  EXPECT_EQ(GetJsonString(json, "pad_mode", "edge"), "zero");
  EXPECT_EQ(GetJsonString(json, "empty", "dflt"), "");  // present and empty: not the default
  EXPECT_EQ(GetJsonString(json, "missing", "dflt"), "dflt");
  EXPECT_EQ(GetJsonString(json, "num", "dflt"), "dflt");  // not a string
  EXPECT_EQ(GetJsonString(json, "t", "dflt"), "dflt");
  EXPECT_EQ(GetJsonString(nullptr, "pad_mode", "edge"), "edge");
  EXPECT_EQ(GetJsonString("", "pad_mode", "edge"), "edge");
  // Unicode passes through byte for byte.
  EXPECT_EQ(GetJsonString("{\"k\": \"\xE4\xBD\xA0\xE5\xA5\xBD\"}", "k", ""), "\xE4\xBD\xA0\xE5\xA5\xBD");
}

TEST(GetJsonString, BackslashMakesTheNextCharacterLiteral) {
  EXPECT_EQ(GetJsonString("{\"k\": \"a\\\"b\"}", "k", ""), "a\"b");
  EXPECT_EQ(GetJsonString("{\"k\": \"a\\\\b\"}", "k", ""), "a\\b");
  EXPECT_EQ(GetJsonString("{\"k\": \"a\\nb\"}", "k", ""), "anb");
  EXPECT_EQ(GetJsonString("{\"k\": \"\\u0041\"}", "k", ""), "u0041");
  EXPECT_EQ(GetJsonString("{\"k\": \"a\\\\\"}", "k", ""), "a\\");
  // A real control character inside the string is kept as it is.
  EXPECT_EQ(GetJsonString("{\"k\": \"a\nb\"}", "k", ""), "a\nb");
}

TEST(GetJsonString, TextCutOffInsideTheValue) {
  EXPECT_EQ(GetJsonString("{\"k\": \"abc", "k", "d"), "abc");
  EXPECT_EQ(GetJsonString("{\"k\": \"", "k", "d"), "");
  EXPECT_EQ(GetJsonString("{\"k\": \"ab\\", "k", "d"), "ab\\");
  EXPECT_EQ(GetJsonString("{\"k\": \"\\", "k", "d"), "\\");
  EXPECT_EQ(GetJsonString("{\"k\": ", "k", "d"), "d");

  // The same cut texts in exactly sized heap buffers, so a read past the
  // terminator shows up under AddressSanitizer.
  for (const char* text : {"{\"k\":\"ab\\", "{\"k\":\"\\", "{\"k\":\"abc", "{\"k\"", "\"k\":"}) {
    std::vector<char> exact(text, text + std::strlen(text) + 1);
    GetJsonString(exact.data(), "k", "d");
    GetJsonInt(exact.data(), "k", 1);
  }
}

TEST(GetJsonInt, StrtolSemantics) {
  EXPECT_EQ(GetJsonInt("{\"n\": 42}", "n", 7), 42);
  EXPECT_EQ(GetJsonInt("{\"n\": -3}", "n", 7), -3);
  EXPECT_EQ(GetJsonInt("{\"n\": +5}", "n", 7), 5);
  EXPECT_EQ(GetJsonInt("{\"n\":12abc}", "n", 7), 12);
  EXPECT_EQ(GetJsonInt("{\"n\": 3.9}", "n", 7), 3);
  // strtol skips its own whitespace after the value's start, \v and \f too.
  EXPECT_EQ(GetJsonInt("{\"n\":\v\f 8}", "n", 7), 8);
  EXPECT_EQ(GetJsonInt("{\"n\": - 3}", "n", 7), 0);
}

TEST(GetJsonInt, PresentButNotANumberReadsAsZero) {
  EXPECT_EQ(GetJsonInt("{\"n\": true}", "n", 24), 0);
  EXPECT_EQ(GetJsonInt("{\"n\": \"4\"}", "n", 24), 0);
  EXPECT_EQ(GetJsonInt("{\"n\": null}", "n", 24), 0);
  EXPECT_EQ(GetJsonInt("{\"n\":", "n", 24), 0);
  EXPECT_EQ(GetJsonInt("{\"n\": 0}", "n", 24), 0);
  // Absent: the default.
  EXPECT_EQ(GetJsonInt("{\"m\": 1}", "n", 24), 24);
  EXPECT_EQ(GetJsonInt(nullptr, "n", 24), 24);
  EXPECT_EQ(GetJsonInt("", "n", 24), 24);
}

TEST(GetJsonInt, TruncatedTo32Bits) {
  EXPECT_EQ(GetJsonInt("{\"n\": 2147483647}", "n", 0), 2147483647);
  EXPECT_EQ(GetJsonInt("{\"n\": -2147483648}", "n", 0), INT32_MIN);
  EXPECT_EQ(GetJsonInt("{\"n\": 2147483648}", "n", 0), INT32_MIN);
  EXPECT_EQ(GetJsonInt("{\"n\": 4294967295}", "n", 0), -1);
  EXPECT_EQ(GetJsonInt("{\"n\": 4294967296}", "n", 0), 0);
  EXPECT_EQ(GetJsonInt("{\"n\": 4294967297}", "n", 0), 1);
  // Beyond the range of strtol's long: clamped there first, low bits kept.
  EXPECT_EQ(GetJsonInt("{\"n\": 99999999999999999999999}", "n", 0), -1);
  EXPECT_EQ(GetJsonInt("{\"n\": -99999999999999999999999}", "n", 0), 0);
}

}  // namespace
