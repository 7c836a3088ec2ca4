// Unicode text helpers. Every text is UTF-8; every count is in code points.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace talmo::unicode {

// Full lower-casing through ICU with the root locale: "İ" -> "i̇", "ΑΣ" -> "ας".
std::string to_lower(std::string_view text);
// Full upper-casing through ICU with the root locale: "ß" -> "SS".
std::string to_upper(std::string_view text);

// True for the whitespace set U+0009-U+000D, U+001C-U+001F, U+0020, U+0085,
// U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// (U+200B and U+FEFF are not whitespace.)
bool is_space(char32_t cp);

// Removes leading and trailing characters of the whitespace set above.
std::string trim(std::string_view text);

// One pass: a character that follows a cased letter is lower-cased, every
// other character gets its (possibly multi-character) titlecase mapping.
// "favourite food" -> "Favourite Food", "DOB" -> "Dob", "they're" -> "They'Re",
// "ßa" -> "Ssa". Underscores are left alone: callers that show keys as
// labels replace "_" with " " first.
std::string title_case(std::string_view text);

// The first `n` code points of `text` (the whole text when shorter); never
// cuts a UTF-8 sequence.
std::string first_chars(std::string_view text, std::size_t n);

// Number of code points.
std::size_t length(std::string_view text);

// The ASCII digits of `text`, in order ("+1 (555) 123-4567" -> "15551234567").
std::string digits_only(std::string_view text);

// Decodes UTF-8 into code points; malformed bytes become U+FFFD (one per
// maximal ill-formed subsequence, as ICU and browsers do).
std::u32string to_u32(std::string_view text);
// Encodes code points as UTF-8; surrogates and values beyond U+10FFFF become
// U+FFFD.
std::string to_utf8(std::u32string_view text);

// One step of strict UTF-8 decoding at byte offset `pos` (< text.size()).
// A well-formed sequence gives its code point and byte count with `valid`
// set; otherwise `size` covers the maximal ill-formed subsequence (at least
// one byte), `valid` is false and `cp` is U+FFFD. Overlong forms, encoded
// surrogates and values beyond U+10FFFF are ill-formed. Every count in this
// header treats one ill-formed subsequence as one character.
struct Decoded {
  char32_t cp;
  std::size_t size;
  bool valid;
};
Decoded decode_at(std::string_view text, std::size_t pos);

}  // namespace talmo::unicode
