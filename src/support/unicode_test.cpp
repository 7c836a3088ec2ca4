// Unicode helpers: case mapping, whitespace, title case, counting and cutting code points, digits.
#include "support/unicode.hpp"

#include <gtest/gtest.h>

namespace talmo::unicode {
namespace {

TEST(ToLower, UsesFullContextualMapping) {
  EXPECT_EQ(to_lower("\u0130"), "i\u0307");  // İ -> i + combining dot, two characters
  EXPECT_EQ(length(to_lower("\u0130")), 2u);
  EXPECT_EQ(to_lower("\u0391\u03a3"), "\u03b1\u03c2");  // ΑΣ -> ας (final sigma)
  EXPECT_EQ(to_lower("\u0391\u03a3 \u0392\u03a3"), "\u03b1\u03c2 \u03b2\u03c2");
  EXPECT_EQ(to_lower("\u03a3"), "\u03c3");  // a lone Σ is not final
  EXPECT_EQ(to_lower("\u1e9e"), "\u00df");  // ẞ -> ß
  EXPECT_EQ(to_lower("HeLLo Identity MODULE"), "hello identity module");
  EXPECT_EQ(to_lower(""), "");
}

TEST(ToUpper, UsesFullMapping) {
  EXPECT_EQ(to_upper("stra\u00dfe"), "STRASSE");
  EXPECT_EQ(to_upper("\ufb01"), "FI");
  EXPECT_EQ(to_upper("\u01c6"), "\u01c4");
}

TEST(CaseMapping, MalformedInputBecomesReplacementCharacter) {
  EXPECT_EQ(to_lower(std::string("A\xff")), "a\ufffd");
  EXPECT_EQ(to_upper(std::string("\xe2\x82z")), "\ufffdZ");
}

TEST(IsSpace, ExactWhitespaceSet) {
  for (char32_t c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x85, 0xA0,
                     0x1680, 0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    EXPECT_TRUE(is_space(c)) << std::hex << static_cast<unsigned>(c);
  }
  for (char32_t c : {0x00, 0x08, 0x0E, 0x1B, 0x21, 0x84, 0x86, 0x9F, 0x180E, 0x200B, 0x200C,
                     0x2027, 0x202A, 0x2060, 0xFEFF, 0x3001}) {
    EXPECT_FALSE(is_space(c)) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(Trim, RemovesOnlyTheWhitespaceSet) {
  EXPECT_EQ(trim("  \t hello world \n"), "hello world");
  EXPECT_EQ(trim("\u00a0\u3000x\u2003\u0085"), "x");
  EXPECT_EQ(trim("\x1c\x0b" "a b" "\x1f"), "a b");
  EXPECT_EQ(trim("\u200bx\ufeff"), "\u200bx\ufeff");
  EXPECT_EQ(trim(" \u200b "), "\u200b");
  EXPECT_EQ(trim(" \t\u3000 "), "");
  EXPECT_EQ(trim(""), "");
  // Malformed bytes are content, not whitespace, and are kept as they are.
  EXPECT_EQ(trim(std::string(" \xff ")), std::string("\xff"));
}

TEST(TitleCase, LabelExamples) {
  EXPECT_EQ(title_case("favourite food"), "Favourite Food");
  EXPECT_EQ(title_case("tv show2go"), "Tv Show2Go");
  EXPECT_EQ(title_case("DOB"), "Dob");
  EXPECT_EQ(title_case("they're"), "They'Re");
  EXPECT_EQ(title_case("\u00c9COLE"), "\u00c9cole");
  EXPECT_EQ(title_case("3rd"), "3Rd");
  EXPECT_EQ(title_case("12abc"), "12Abc");
  EXPECT_EQ(title_case("hello   world"), "Hello   World");
  EXPECT_EQ(title_case(""), "");
  // Underscores are the caller's business.
  EXPECT_EQ(title_case("x_y"), "X_Y");
}

TEST(TitleCase, FullTitlecaseMappings) {
  EXPECT_EQ(title_case("\u00dfa"), "Ssa");                  // ß at a word start
  EXPECT_EQ(title_case("stra\u00dfe"), "Stra\u00dfe");      // ß after a letter stays
  EXPECT_EQ(title_case("\u01c6emal"), "\u01c5emal");        // ǆ -> ǅ, not Ǆ
  EXPECT_EQ(title_case("\u01c4"), "\u01c5");                // Ǆ -> ǅ
  EXPECT_EQ(title_case("\u01c8a"), "\u01c8a");              // ǈ is already titlecase
  EXPECT_EQ(title_case("\u0149"), "\u02bcN");               // ŉ -> ʼN
  EXPECT_EQ(title_case("\ufb01sh"), "Fish");                // ﬁ -> Fi
  EXPECT_EQ(title_case("\u0130STANBUL"), "\u0130stanbul");
}

TEST(TitleCase, SigmaAfterALetterTakesItsFinalFormAtWordEnd) {
  EXPECT_EQ(title_case("\u039f\u0394\u039f\u03a3"), "\u039f\u03b4\u03bf\u03c2");
  EXPECT_EQ(title_case("\u039f\u0394\u039f\u03a3 \u03a3\u0391"),
            "\u039f\u03b4\u03bf\u03c2 \u03a3\u03b1");
  EXPECT_EQ(title_case("a\u03a3b"), "A\u03c3b");
  EXPECT_EQ(title_case("\u0391\u03a3."), "\u0391\u03c2.");
  EXPECT_EQ(title_case("\u03a3"), "\u03a3");
}

TEST(Counting, CodePointsNotBytes) {
  EXPECT_EQ(length(""), 0u);
  EXPECT_EQ(length("abc"), 3u);
  EXPECT_EQ(length("Zo\u00eb \U0001F600"), 5u);
  EXPECT_EQ(length("\u4e2d\u6587"), 2u);
  // Each malformed stretch counts once, like its replacement character.
  EXPECT_EQ(length(std::string("a\xe2\x82z\xff")), 4u);
}

TEST(FirstChars, NeverSplitsASequence) {
  const std::string text = "a\u00e9\U0001F600\u4e2dz";
  EXPECT_EQ(first_chars(text, 0), "");
  EXPECT_EQ(first_chars(text, 1), "a");
  EXPECT_EQ(first_chars(text, 2), "a\u00e9");
  EXPECT_EQ(first_chars(text, 3), "a\u00e9\U0001F600");
  EXPECT_EQ(first_chars(text, 4), "a\u00e9\U0001F600\u4e2d");
  EXPECT_EQ(first_chars(text, 5), text);
  EXPECT_EQ(first_chars(text, 500), text);
  // A truncated sequence at the end is taken whole or not at all.
  EXPECT_EQ(first_chars(std::string("ab\xf0\x9f\x98"), 3), std::string("ab\xf0\x9f\x98"));
  EXPECT_EQ(first_chars(std::string("ab\xf0\x9f\x98"), 2), "ab");
}

TEST(DigitsOnly, KeepsAsciiDigits) {
  EXPECT_EQ(digits_only("+1 (555) 123-4567"), "15551234567");
  EXPECT_EQ(digits_only("\u0661\u0662 9 \uff13"), "9");  // other scripts' digits are dropped
  EXPECT_EQ(digits_only("no digits"), "");
}

TEST(Utf8Decoding, RejectsMalformedSequences) {
  EXPECT_EQ(to_u32("a\u00e9\U0001F600"), U"a\u00e9\U0001F600");
  EXPECT_EQ(to_u32(std::string("\xc0\xaf")), U"\ufffd\ufffd");          // overlong
  EXPECT_EQ(to_u32(std::string("\xe0\x80\x80")), U"\ufffd\ufffd\ufffd");  // overlong
  EXPECT_EQ(to_u32(std::string("\xed\xa0\x80")), U"\ufffd\ufffd\ufffd");  // surrogate
  EXPECT_EQ(to_u32(std::string("\xf4\x90\x80\x80")), U"\ufffd\ufffd\ufffd\ufffd");
  EXPECT_EQ(to_u32(std::string("\xe2\x82z")), U"\ufffdz");  // truncated, one replacement
  EXPECT_EQ(to_u32(std::string("\xf0\x9f\x98")), U"\ufffd");
  EXPECT_EQ(to_u32(std::string("\x80\x80")), U"\ufffd\ufffd");

  const Decoded d = decode_at(std::string("\xe2\x82z"), 0);
  EXPECT_FALSE(d.valid);
  EXPECT_EQ(d.size, 2u);
  const Decoded ok = decode_at("\U0010FFFF", 0);
  EXPECT_TRUE(ok.valid);
  EXPECT_EQ(ok.cp, 0x10FFFFu);
  EXPECT_EQ(ok.size, 4u);
}

TEST(Utf8Encoding, RoundTripsAndReplacesInvalidCodePoints) {
  const std::string text = "x\u00e9\u4e2d\U0001F600\U0010FFFF";
  EXPECT_EQ(to_utf8(to_u32(text)), text);
  const char32_t bad[] = {0xD800, 0x110000, U'a'};
  EXPECT_EQ(to_utf8(std::u32string_view(bad, 3)), "\ufffd\ufffda");
}

}  // namespace
}  // namespace talmo::unicode
