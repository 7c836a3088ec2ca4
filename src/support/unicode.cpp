#include "support/unicode.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

namespace talmo::unicode {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

void append_utf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = REPLACEMENT;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// ICU strings are UTF-16; going through our own decoder keeps the treatment
// of malformed input identical to to_u32.
icu::UnicodeString to_icu(std::string_view text) {
  std::u32string cps = to_u32(text);
  return icu::UnicodeString::fromUTF32(reinterpret_cast<const UChar32*>(cps.data()),
                                       static_cast<int32_t>(cps.size()));
}

std::string from_icu(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

bool is_cased(char32_t cp) { return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_CASED); }

bool is_case_ignorable(char32_t cp) {
  return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_CASE_IGNORABLE);
}

// Capital sigma lower-cases to the final form when a cased letter precedes
// it and none follows (case-ignorable characters skipped on both sides).
char32_t lower_sigma(const std::u32string& cps, std::size_t i) {
  std::size_t j = i;
  bool before_cased = false;
  while (j > 0) {
    --j;
    if (!is_case_ignorable(cps[j])) {
      before_cased = is_cased(cps[j]);
      break;
    }
  }
  if (!before_cased) return 0x03C3;
  for (std::size_t k = i + 1; k < cps.size(); ++k) {
    if (!is_case_ignorable(cps[k])) return is_cased(cps[k]) ? 0x03C3 : 0x03C2;
  }
  return 0x03C2;
}

void append_lower_char(std::string& out, char32_t cp) {
  icu::UnicodeString s(static_cast<UChar32>(cp));
  s.toLower(icu::Locale::getRoot());
  s.toUTF8String(out);
}

void append_title_char(std::string& out, char32_t cp) {
  icu::UnicodeString s(static_cast<UChar32>(cp));
  s.toTitle(nullptr, icu::Locale::getRoot(),
            U_TITLECASE_NO_BREAK_ADJUSTMENT | U_TITLECASE_NO_LOWERCASE);
  s.toUTF8String(out);
}

}  // namespace

Decoded decode_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1, true};

  std::size_t need = 0;
  char32_t cp = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return {REPLACEMENT, 1, false};
  }

  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (pos + i >= text.size()) break;
    const unsigned char b = byte(pos + i);
    const bool ok = i == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) break;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (i <= need) return {REPLACEMENT, i, false};
  return {cp, need + 1, true};
}

std::u32string to_u32(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded d = decode_at(text, pos);
    out.push_back(d.cp);
    pos += d.size;
  }
  return out;
}

std::string to_utf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t cp : text) append_utf8(out, cp);
  return out;
}

std::string to_lower(std::string_view text) {
  icu::UnicodeString s = to_icu(text);
  s.toLower(icu::Locale::getRoot());
  return from_icu(s);
}

std::string to_upper(std::string_view text) {
  icu::UnicodeString s = to_icu(text);
  s.toUpper(icu::Locale::getRoot());
  return from_icu(s);
}

bool is_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 ||
         cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
         cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string trim(std::string_view text) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded d = decode_at(text, pos);
    if (!(d.valid && is_space(d.cp))) {
      if (begin == text.size()) begin = pos;
      end = pos + d.size;
    }
    pos += d.size;
  }
  if (begin >= end) return {};
  return std::string(text.substr(begin, end - begin));
}

std::string title_case(std::string_view text) {
  const std::u32string cps = to_u32(text);
  std::string out;
  out.reserve(text.size());
  bool previous_cased = false;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const char32_t cp = cps[i];
    if (previous_cased) {
      if (cp == 0x03A3) {
        append_utf8(out, lower_sigma(cps, i));
      } else {
        append_lower_char(out, cp);
      }
    } else {
      append_title_char(out, cp);
    }
    previous_cased = is_cased(cp);
  }
  return out;
}

std::string first_chars(std::string_view text, std::size_t n) {
  std::size_t pos = 0;
  for (std::size_t count = 0; count < n && pos < text.size(); ++count) {
    pos += decode_at(text, pos).size;
  }
  return std::string(text.substr(0, pos));
}

std::size_t length(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) pos += decode_at(text, pos).size;
  return count;
}

std::string digits_only(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c >= '0' && c <= '9') out.push_back(c);
  }
  return out;
}

}  // namespace talmo::unicode
