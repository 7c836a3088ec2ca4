#include "support/phone.hpp"

#include <phonenumbers/phonenumber.pb.h>
#include <phonenumbers/phonenumberutil.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace talmo::phone {

namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '-' || c == '.' || c == '(' || c == ')' || c == '/';
}

// The text with "+" before its first digit: "+" and "00" both mean that the
// country code follows; plain digits are taken as starting with it.
std::optional<std::string> with_plus(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_separator(text[i])) ++i;
  if (i == text.size()) return std::nullopt;
  if (text[i] == '+') return std::string(text.substr(i));
  if (text[i] < '0' || text[i] > '9') return std::nullopt;
  if (text.substr(i, 2) == "00") return "+" + std::string(text.substr(i + 2));
  return "+" + std::string(text.substr(i));
}

std::string english_country_name(const std::string& region) {
  if (region.empty() || region == "ZZ" || region == "001") return "";
  icu::UnicodeString name;
  icu::Locale("", region.c_str()).getDisplayCountry(icu::Locale::getEnglish(), name);
  std::string out;
  name.toUTF8String(out);
  // ICU answers with the code itself when it has no name for it.
  return out == region ? "" : out;
}

}  // namespace

std::optional<International> parse_international(std::string_view text) {
  auto plus = with_plus(text);
  if (!plus) return std::nullopt;
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  PhoneNumber number;
  // With "+" in front the region "ZZ" (unknown) is never consulted.
  if (util.Parse(*plus, "ZZ", &number) != PhoneNumberUtil::NO_PARSING_ERROR) return std::nullopt;
  if (!util.IsPossibleNumber(number)) return std::nullopt;

  International out;
  out.valid = util.IsValidNumber(number);
  {
    std::size_t i = 0;
    while (i < text.size() && is_separator(text[i])) ++i;
    out.marked = text.substr(i, 1) == "+" || text.substr(i, 2) == "00";
  }
  std::string e164;
  util.Format(number, PhoneNumberUtil::E164, &e164);
  out.digits = e164.substr(1);
  out.country_code = number.country_code();
  util.GetRegionCodeForNumber(number, &out.region);
  if (out.region.empty() || out.region == "ZZ")
    util.GetRegionCodeForCountryCode(out.country_code, &out.region);
  if (out.region == "ZZ") out.region.clear();
  out.country_name = english_country_name(out.region);
  util.Format(number, PhoneNumberUtil::INTERNATIONAL, &out.formatted);
  return out;
}

std::string describe(const International& number) {
  if (number.country_name.empty()) return number.formatted;
  return number.formatted + " (" + number.country_name + ")";
}

}  // namespace talmo::phone
