#include "routes/ingrest/header_text.hpp"

#include "support/unicode.hpp"

#include <optional>

namespace talmo::ingrest {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const unicode::Decoded d = unicode::decode_at(text, i);
    if (!d.valid) return false;
    i += d.size;
  }
  return true;
}

std::optional<std::string> percent_decoded(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const int high = hex_value(value[i + 1]), low = hex_value(value[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (!is_utf8(out)) return std::nullopt;
  return out;
}

}  // namespace

std::string decode_header_text(std::string_view value) {
  if (auto decoded = percent_decoded(value)) return *decoded;
  return unicode::to_utf8(unicode::to_u32(value));
}

std::string replying_to_line(std::string_view quoted) {
  const std::string text = unicode::trim(quoted);
  if (text.empty()) return "";
  return "[Replying to: “" + unicode::first_chars(text, MAX_QUOTED_CHARS) + "”]\n";
}

}  // namespace talmo::ingrest
