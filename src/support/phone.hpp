// Phone numbers in full international form, through Google's libphonenumber.
//
// The owner is recognised by the full international digits of the master
// number (country code + national number), never by a part of them: a suffix
// match let a number of another country pass for the owner.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talmo::phone {

struct International {
  std::string digits;        // country code + national number: "923001234567"
  int country_code = 0;      // 92
  std::string region;        // "PK"; for a number no country claims, the country code's main one
  std::string country_name;  // "Pakistan" (English); "" when the region is unknown
  std::string formatted;     // "+92 300 1234567"
  // The digits form a number in use in its country, not only one of the
  // right length ("+49 151" is possible but not valid; so is the test number
  // "+1 555 123 4567").
  bool valid = false;
  // The text marked where the country code starts ("+" or "00"); plain
  // digits were only taken to start with it ("151 23456789" reads as +1 512…).
  bool marked = false;
};

// Reads `text` as an international number: a leading "+" or "00" starts the
// country code, and plain digits are read as if "+" stood before them
// ("0300 1234567" is thus not a number of any country). Blanks, dashes, dots
// and parentheses may separate the digits. Nothing unless libphonenumber
// finds it a possible number (right length for its country), so a test
// number such as "+1 (555) 123-4567" is accepted.
std::optional<International> parse_international(std::string_view text);

// Said after a number that parse_international refused, wherever the owner
// typed it: what a full international number looks like.
inline constexpr const char* NOT_INTERNATIONAL =
    "is not a full international number: start it with the country code "
    "(write it as +92 300 1234567)";

// "+92 300 1234567 (Pakistan)", or the formatted number alone when the
// country is unknown: how the number was understood, for the owner to check.
std::string describe(const International& number);

}  // namespace talmo::phone
