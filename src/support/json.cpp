#include "support/json.hpp"

#include "support/unicode.hpp"

#include <unicode/uchar.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace talmo {

namespace {

using value_t = json::value_t;

// The shortest digits that read back as the same double, laid out the way
// the assistant has always shown reals: plain decimals from 1e-4 up to 1e16,
// exponent form outside ("1e+16", "1.5e-07"), whole values ending in ".0".
std::string real_text(double v, bool json_style) {
  if (std::isnan(v)) return json_style ? "NaN" : "nan";
  if (std::isinf(v)) {
    if (json_style) return v > 0 ? "Infinity" : "-Infinity";
    return v > 0 ? "inf" : "-inf";
  }

  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));  // "-1.25e+17"

  std::string out;
  std::size_t i = 0;
  if (sci[i] == '-') {
    out.push_back('-');
    ++i;
  }
  std::string digits;
  for (; i < sci.size() && sci[i] != 'e'; ++i) {
    if (sci[i] != '.') digits.push_back(sci[i]);
  }
  int exponent = 0;
  std::from_chars(sci.data() + i + 1 + (sci[i + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);

  if (exponent < -4 || exponent >= 16) {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    char exp_buf[16];
    std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+',
                  std::abs(exponent));
    out += exp_buf;
  } else if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    const auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, int_len);
      out.push_back('.');
      out.append(digits, int_len);
    }
  }
  return out;
}

void append_hex(std::string& out, const char* prefix, unsigned value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%0*x", prefix, width, value);
  out += buf;
}

void append_json_string(std::string& out, const std::string& s) {
  out.push_back('"');
  for (std::size_t pos = 0; pos < s.size();) {
    // Printable ASCII other than the quote and the backslash stands as it
    // is: a run of it goes in at once (an image's base64 is megabytes of it).
    std::size_t run = pos;
    while (run < s.size() && s[run] >= 0x20 && s[run] <= 0x7E && s[run] != '"' && s[run] != '\\') ++run;
    if (run > pos) {
      out.append(s, pos, run - pos);
      pos = run;
      continue;
    }
    const unicode::Decoded d = unicode::decode_at(s, pos);
    if (!d.valid) {
      // Bytes that are not UTF-8 cannot be a character; keep each byte.
      for (std::size_t k = 0; k < d.size; ++k) {
        append_hex(out, "\\u", static_cast<unsigned char>(s[pos + k]), 4);
      }
      pos += d.size;
      continue;
    }
    pos += d.size;
    const char32_t c = d.cp;
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      default: break;
    }
    if (c >= 0x20 && c <= 0x7E) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x10000) {
      append_hex(out, "\\u", static_cast<unsigned>(c), 4);
    } else {
      const char32_t v = c - 0x10000;
      append_hex(out, "\\u", static_cast<unsigned>(0xD800 + (v >> 10)), 4);
      append_hex(out, "\\u", static_cast<unsigned>(0xDC00 + (v & 0x3FF)), 4);
    }
  }
  out.push_back('"');
}

void append_json(std::string& out, const json& value) {
  switch (value.type()) {
    case value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ", ";
        first = false;
        append_json_string(out, key);
        out += ": ";
        append_json(out, item);
      }
      out.push_back('}');
      return;
    }
    case value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ", ";
        first = false;
        append_json(out, item);
      }
      out.push_back(']');
      return;
    }
    case value_t::binary: {
      // Raw bytes have no JSON form of their own; show them as a list of
      // byte values.
      out.push_back('[');
      bool first = true;
      for (std::uint8_t b : value.get_binary()) {
        if (!first) out += ", ";
        first = false;
        out += std::to_string(b);
      }
      out.push_back(']');
      return;
    }
    case value_t::string: append_json_string(out, value.get_ref<const std::string&>()); return;
    case value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
    case value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); return;
    case value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); return;
    case value_t::number_float: out += real_text(value.get<double>(), true); return;
    case value_t::null:
    case value_t::discarded: out += "null"; return;
  }
}

bool is_printable(char32_t c) {
  if (c == ' ') return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR: return false;
    default: return true;
  }
}

// A text as it appears quoted inside a displayed list or map.
void append_quoted(std::string& out, const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos;
  const bool has_double = s.find('"') != std::string::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out.push_back(quote);
  for (std::size_t pos = 0; pos < s.size();) {
    const unicode::Decoded d = unicode::decode_at(s, pos);
    if (!d.valid) {
      // Bytes that are not UTF-8 are shown one by one as \xhh.
      for (std::size_t k = 0; k < d.size; ++k) {
        append_hex(out, "\\x", static_cast<unsigned char>(s[pos + k]), 2);
      }
      pos += d.size;
      continue;
    }
    const std::string_view raw(s.data() + pos, d.size);
    pos += d.size;
    const char32_t c = d.cp;
    if (c == static_cast<char32_t>(quote) || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      append_hex(out, "\\x", static_cast<unsigned>(c), 2);
    } else if (c < 0x7F || is_printable(c)) {
      out += raw;
    } else if (c <= 0xFF) {
      append_hex(out, "\\x", static_cast<unsigned>(c), 2);
    } else if (c <= 0xFFFF) {
      append_hex(out, "\\u", static_cast<unsigned>(c), 4);
    } else {
      append_hex(out, "\\U", static_cast<unsigned>(c), 8);
    }
  }
  out.push_back(quote);
}

void append_display(std::string& out, const json& value, bool nested) {
  switch (value.type()) {
    case value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ", ";
        first = false;
        append_quoted(out, key);
        out += ": ";
        append_display(out, item, true);
      }
      out.push_back('}');
      return;
    }
    case value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ", ";
        first = false;
        append_display(out, item, true);
      }
      out.push_back(']');
      return;
    }
    case value_t::binary: append_json(out, value); return;
    case value_t::string:
      if (nested) {
        append_quoted(out, value.get_ref<const std::string&>());
      } else {
        out += value.get_ref<const std::string&>();
      }
      return;
    case value_t::boolean: out += value.get<bool>() ? "True" : "False"; return;
    case value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); return;
    case value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); return;
    case value_t::number_float: out += real_text(value.get<double>(), false); return;
    case value_t::null:
    case value_t::discarded: out += "None"; return;
  }
}

}  // namespace

json decode_json(std::string_view text, bool allow_exceptions) {
  // Brackets inside strings do not nest; in well-formed text this scan sees
  // exactly the parser's structure, and malformed text fails to parse anyway.
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > MAX_JSON_DEPTH) {
        if (!allow_exceptions) return json(json::value_t::discarded);
        throw json::parse_error::create(
            101, i + 1, "lists and maps nest deeper than " + std::to_string(MAX_JSON_DEPTH) + " levels",
            nullptr);
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return json::parse(text, nullptr, allow_exceptions);
}

std::string json_text(const json& value) {
  std::string out;
  append_json(out, value);
  return out;
}

std::string display_text(const json& value) {
  std::string out;
  append_display(out, value, false);
  return out;
}

std::string type_description(const json& value) {
  switch (value.type()) {
    case value_t::object: return "<class 'dict'>";
    case value_t::array: return "<class 'list'>";
    case value_t::string: return "<class 'str'>";
    case value_t::boolean: return "<class 'bool'>";
    case value_t::number_integer:
    case value_t::number_unsigned: return "<class 'int'>";
    case value_t::number_float: return "<class 'float'>";
    case value_t::binary: return "<class 'bytes'>";
    case value_t::null:
    case value_t::discarded: return "<class 'NoneType'>";
  }
  return "<class 'NoneType'>";
}

bool is_empty_value(const json& value) {
  switch (value.type()) {
    case value_t::object:
    case value_t::array: return value.empty();
    case value_t::string: return value.get_ref<const std::string&>().empty();
    case value_t::binary: return value.get_binary().empty();
    case value_t::boolean: return !value.get<bool>();
    case value_t::number_integer: return value.get<std::int64_t>() == 0;
    case value_t::number_unsigned: return value.get<std::uint64_t>() == 0;
    case value_t::number_float: return value.get<double>() == 0.0;
    case value_t::null:
    case value_t::discarded: return true;
  }
  return true;
}

}  // namespace talmo
