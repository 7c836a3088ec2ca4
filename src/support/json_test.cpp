// JSON renderings (json_text, display_text, quoted text), type names, truthiness, bounded decoding.
#include "support/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace talmo {
namespace {

json parse(const char* text) { return json::parse(text); }

TEST(JsonText, WorkedExampleKeepsOrderAndEscapes) {
  json v = json::object();
  v["name"] = "Zo\u00eb";
  v["emoji"] = "\U0001F600";
  v["n"] = 1;
  v["f"] = 1.5;
  v["big"] = 1e16;
  v["small"] = 0.00001;
  v["whole"] = 100000.0;
  v["neg0"] = -0.0;
  v["t"] = true;
  v["z"] = nullptr;
  v["l"] = json::array({1, "a"});
  v["q"] = "say \"hi\"\n";
  EXPECT_EQ(json_text(v),
            "{\"name\": \"Zo\\u00eb\", \"emoji\": \"\\ud83d\\ude00\", \"n\": 1, \"f\": 1.5, "
            "\"big\": 1e+16, \"small\": 1e-05, \"whole\": 100000.0, \"neg0\": -0.0, "
            "\"t\": true, \"z\": null, \"l\": [1, \"a\"], \"q\": \"say \\\"hi\\\"\\n\"}");
}

TEST(JsonText, EmptyAndNestedContainers) {
  EXPECT_EQ(json_text(json::array()), "[]");
  EXPECT_EQ(json_text(json::object()), "{}");
  EXPECT_EQ(json_text(parse(R"([[], {}, [[1]], {"k": []}])")), "[[], {}, [[1]], {\"k\": []}]");
  // Keys keep decoding order, not sorted order.
  EXPECT_EQ(json_text(parse(R"({"b": 1, "a": {"d": 2, "c": 3}})")),
            "{\"b\": 1, \"a\": {\"d\": 2, \"c\": 3}}");
}

TEST(JsonText, ControlAndNonAsciiCharacters) {
  const std::string s("\x7f\x00\x1f\b\f/\xc3\xa9\xf0\x9f\x98\x80\xe2\x80\xa8\xef\xbb\xbf", 18);
  EXPECT_EQ(json_text(s), "\"\\u007f\\u0000\\u001f\\b\\f/\\u00e9\\ud83d\\ude00\\u2028\\ufeff\"");
  EXPECT_EQ(json_text("tab\there\r\\"), "\"tab\\there\\r\\\\\"");
  EXPECT_EQ(json_text("\U0010FFFF"), "\"\\udbff\\udfff\"");
  EXPECT_EQ(json_text("~ "), "\"~ \"");
}

TEST(JsonText, InvalidUtf8BytesAreEscapedOneByOne) {
  // A lone continuation byte, a truncated three-byte sequence, an overlong
  // slash, an encoded surrogate and a byte that never occurs in UTF-8.
  EXPECT_EQ(json_text(std::string("a\x80z")), "\"a\\u0080z\"");
  EXPECT_EQ(json_text(std::string("\xe2\x82")), "\"\\u00e2\\u0082\"");
  EXPECT_EQ(json_text(std::string("\xc0\xaf")), "\"\\u00c0\\u00af\"");
  EXPECT_EQ(json_text(std::string("\xed\xa0\x80")), "\"\\u00ed\\u00a0\\u0080\"");
  EXPECT_EQ(json_text(std::string("\xff\xc3\xa9")), "\"\\u00ff\\u00e9\"");
  // A key is escaped the same way.
  json v = json::object();
  v[std::string("k\xfe")] = 1;
  EXPECT_EQ(json_text(v), "{\"k\\u00fe\": 1}");
}

TEST(JsonText, IntegersStayDistinctFromReals) {
  EXPECT_EQ(json_text(parse("1")), "1");
  EXPECT_EQ(json_text(parse("1.0")), "1.0");
  EXPECT_EQ(json_text(parse("-2")), "-2");
  EXPECT_EQ(json_text(json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(json_text(json(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(json_text(parse("[true, false, null]")), "[true, false, null]");
}

TEST(JsonText, NonFiniteReals) {
  EXPECT_EQ(json_text(json(std::numeric_limits<double>::infinity())), "Infinity");
  EXPECT_EQ(json_text(json(-std::numeric_limits<double>::infinity())), "-Infinity");
  EXPECT_EQ(json_text(json(std::nan(""))), "NaN");
}

// Reals share one layout in both renderings.
struct RealCase {
  double value;
  const char* text;
};

class RealRendering : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealRendering, ShortestRoundTripLayout) {
  EXPECT_EQ(json_text(json(GetParam().value)), GetParam().text);
  EXPECT_EQ(display_text(json(GetParam().value)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Reals, RealRendering,
    ::testing::Values(RealCase{0.0, "0.0"}, RealCase{-0.0, "-0.0"}, RealCase{1.5, "1.5"},
                      RealCase{0.1, "0.1"}, RealCase{3.0, "3.0"}, RealCase{-123.456, "-123.456"},
                      RealCase{0.30000000000000004, "0.30000000000000004"},
                      RealCase{1.0 / 3.0, "0.3333333333333333"},
                      RealCase{0.0001, "0.0001"}, RealCase{0.00012, "0.00012"},
                      RealCase{1e-5, "1e-05"}, RealCase{-1e-5, "-1e-05"},
                      RealCase{1.5e-7, "1.5e-07"}, RealCase{2.5e-100, "2.5e-100"},
                      RealCase{5e-324, "5e-324"}, RealCase{1e15, "1000000000000000.0"},
                      RealCase{9999999999999998.0, "9999999999999998.0"},
                      RealCase{123456789012345.6, "123456789012345.6"},
                      RealCase{1e16, "1e+16"}, RealCase{1e22, "1e+22"}, RealCase{1e100, "1e+100"},
                      RealCase{1.2345678901234568e+17, "1.2345678901234568e+17"},
                      RealCase{12345678901234567890.0, "1.2345678901234567e+19"},
                      RealCase{1.7976931348623157e308, "1.7976931348623157e+308"}));

TEST(DisplayText, ScalarsAtTopLevel) {
  EXPECT_EQ(display_text("it's \"raw\"\n\\"), "it's \"raw\"\n\\");
  EXPECT_EQ(display_text(""), "");
  EXPECT_EQ(display_text(json(5)), "5");
  EXPECT_EQ(display_text(parse("1.0")), "1.0");
  EXPECT_EQ(display_text(json(true)), "True");
  EXPECT_EQ(display_text(json(false)), "False");
  EXPECT_EQ(display_text(json(nullptr)), "None");
  EXPECT_EQ(display_text(json(std::numeric_limits<double>::infinity())), "inf");
  EXPECT_EQ(display_text(json(-std::numeric_limits<double>::infinity())), "-inf");
  EXPECT_EQ(display_text(json(std::nan(""))), "nan");
}

TEST(DisplayText, WorkedExamples) {
  json v = json::object();
  v["a"] = "it's";
  v["b"] = "both ' and \"";
  v["c"] = nullptr;
  v["d"] = true;
  v["e"] = 1.0;
  v["f"] = json::array({1, "x"});
  v["g"] = json::object({{"k", "v"}});
  EXPECT_EQ(display_text(v),
            "{'a': \"it's\", 'b': 'both \\' and \"', 'c': None, 'd': True, 'e': 1.0, "
            "'f': [1, 'x'], 'g': {'k': 'v'}}");
  EXPECT_EQ(display_text(json::array({"ID 5: Removed", "ID 9: Not found"})),
            "['ID 5: Removed', 'ID 9: Not found']");
}

TEST(DisplayText, ContainersAndMixedScalars) {
  EXPECT_EQ(display_text(json::array()), "[]");
  EXPECT_EQ(display_text(json::object()), "{}");
  EXPECT_EQ(display_text(parse(R"([[], {}, [[1]], {"k": []}])")), "[[], {}, [[1]], {'k': []}]");
  EXPECT_EQ(display_text(parse("[true, false, null, 1, 1.0, -2, 18446744073709551615]")),
            "[True, False, None, 1, 1.0, -2, 18446744073709551615]");
  EXPECT_EQ(display_text(parse(R"({"x": 1e16, "y": 0.00001})")), "{'x': 1e+16, 'y': 1e-05}");
}

struct QuotedCase {
  std::string item;
  const char* shown;  // display text of a one-item list holding `item`
};

class QuotedText : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedText, InsideAList) {
  EXPECT_EQ(display_text(json::array({GetParam().item})), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Quoting, QuotedText,
    ::testing::Values(
        QuotedCase{"say \"hi\"", "['say \"hi\"']"}, QuotedCase{"it's", "[\"it's\"]"},
        QuotedCase{"'\"", "['\\'\"']"}, QuotedCase{"a\\b", "['a\\\\b']"},
        QuotedCase{"tab\there", "['tab\\there']"}, QuotedCase{"\r\n", "['\\r\\n']"},
        QuotedCase{std::string("\0", 1), "['\\x00']"}, QuotedCase{"\x1b[0m", "['\\x1b[0m']"},
        QuotedCase{"\x7f", "['\\x7f']"},
        // Printable non-ASCII stays literal.
        QuotedCase{"\xc3\xa9 \xc4\xb0 \xf0\x9f\x98\x80 \xf0\x9d\x94\x98",
                   "['\xc3\xa9 \xc4\xb0 \xf0\x9f\x98\x80 \xf0\x9d\x94\x98']"},
        // Non-printable: Cc, Zs, Cf, Co, Cn, Zl, Zp.
        QuotedCase{"\u0085", "['\\x85']"}, QuotedCase{"\u00a0", "['\\xa0']"},
        QuotedCase{"\u00ad", "['\\xad']"}, QuotedCase{"\u200b", "['\\u200b']"},
        QuotedCase{"\u3000", "['\\u3000']"}, QuotedCase{"\u2028", "['\\u2028']"},
        QuotedCase{"\u2029", "['\\u2029']"}, QuotedCase{"\ufeff", "['\\ufeff']"},
        QuotedCase{"\u061c", "['\\u061c']"}, QuotedCase{"\ue000", "['\\ue000']"},
        QuotedCase{"\u0378", "['\\u0378']"}, QuotedCase{"\U000e0001", "['\\U000e0001']"},
        QuotedCase{"\U000f0000", "['\\U000f0000']"},
        QuotedCase{"\U0010ffff", "['\\U0010ffff']"},
        // Bytes that are not UTF-8 are shown as \xhh, never passed through.
        QuotedCase{"a\x80", "['a\\x80']"}, QuotedCase{"\xe2\x82", "['\\xe2\\x82']"}));

TEST(DisplayText, KeysAreQuotedLikeValues) {
  json v = json::object();
  v["it's"] = "v";
  v["tab\t"] = json::array({json::object({{"n", 2}})});
  EXPECT_EQ(display_text(v), "{\"it's\": 'v', 'tab\\t': [{'n': 2}]}");
}

TEST(TypeDescription, NamesEveryKind) {
  EXPECT_EQ(type_description(json::array()), "<class 'list'>");
  EXPECT_EQ(type_description(json::object()), "<class 'dict'>");
  EXPECT_EQ(type_description("x"), "<class 'str'>");
  EXPECT_EQ(type_description(json(3)), "<class 'int'>");
  EXPECT_EQ(type_description(json(3u)), "<class 'int'>");
  EXPECT_EQ(type_description(json(-3)), "<class 'int'>");
  EXPECT_EQ(type_description(json(3.0)), "<class 'float'>");
  EXPECT_EQ(type_description(json(false)), "<class 'bool'>");
  EXPECT_EQ(type_description(json(nullptr)), "<class 'NoneType'>");
}

TEST(IsEmptyValue, FollowsTruthiness) {
  for (const char* empty : {"null", "false", "0", "-0", "0.0", "-0.0", "\"\"", "[]", "{}"}) {
    EXPECT_TRUE(is_empty_value(parse(empty))) << empty;
  }
  for (const char* full :
       {"true", "1", "-1", "0.5", "1e-300", "\" \"", "\"0\"", "[null]", "[[]]", "{\"a\": null}"}) {
    EXPECT_FALSE(is_empty_value(parse(full))) << full;
  }
  EXPECT_TRUE(is_empty_value(json(0u)));
  EXPECT_FALSE(is_empty_value(json(std::nan(""))));
}

std::string nested(std::size_t depth, std::string_view inner = "") {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += i % 2 ? "{\"k\": " : "[";
  text += inner;
  for (std::size_t i = depth; i-- > 0;) text += i % 2 ? "}" : "]";
  return text;
}

TEST(DecodeJson, AgreesWithTheParserUpToTheDepthLimit) {
  for (const std::string& text :
       {std::string(R"({"sender": "1555", "message": "hi [{"})"), std::string(R"("a \" [[ \\" )"),
        std::string("[1, {\"a\": [true, null]}, 2.5]"), nested(MAX_JSON_DEPTH, "\"]]]]\""),
        std::string(" 7 ")}) {
    EXPECT_EQ(decode_json(text), json::parse(text)) << text;
    EXPECT_EQ(decode_json(text, false), json::parse(text)) << text;
  }
  // Malformed text fails as the parser fails.
  for (const char* text : {"", "{", "]]]]", "{\"a\": 1,}", "[\"unterminated", "nul"}) {
    EXPECT_THROW(decode_json(text), json::parse_error) << text;
    EXPECT_TRUE(decode_json(text, false).is_discarded()) << text;
  }
}

// A few hundred kilobytes of brackets used to come back as a value so deep
// that rendering or copying it overflowed the stack.
TEST(DecodeJson, RefusesNestingBeyondTheLimit) {
  for (const std::string& text : {nested(MAX_JSON_DEPTH + 1), nested(200000, "1"),
                                  "{\"ok\": \"[[[\", \"deep\": " + nested(MAX_JSON_DEPTH) + "}"}) {
    try {
      decode_json(text);
      ADD_FAILURE() << "accepted a document " << text.size() << " bytes long";
    } catch (const json::parse_error& e) {
      EXPECT_NE(std::string(e.what()).find("nest deeper than 512 levels"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(decode_json(text, false).is_discarded());
  }
}

}  // namespace
}  // namespace talmo
