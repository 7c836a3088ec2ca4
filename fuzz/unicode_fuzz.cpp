// Every Unicode helper on arbitrary bytes, checked against the promises of
// its header: valid UTF-8 out of the ICU functions, prefixes that never cut a
// sequence, counts that agree with the decoder, and a lossless round trip
// for well-formed text.
#include "support/unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace u = talmo::unicode;

void check(bool ok) {
  if (!ok) std::abort();
}

bool well_formed(std::string_view s) {
  for (std::size_t pos = 0; pos < s.size();) {
    const u::Decoded d = u::decode_at(s, pos);
    if (!d.valid) return false;
    pos += d.size;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t n = size ? data[0] % 64 : 0;

  check(well_formed(u::to_lower(text)));
  check(well_formed(u::to_upper(text)));
  check(well_formed(u::title_case(text)));

  const std::string trimmed = u::trim(text);
  check(trimmed.size() <= text.size());
  check(text.find(trimmed) != std::string_view::npos);
  check(u::trim(trimmed) == trimmed);

  const std::size_t count = u::length(text);
  const std::u32string cps = u::to_u32(text);
  check(cps.size() == count);

  const std::string prefix = u::first_chars(text, n);
  check(text.substr(0, prefix.size()) == prefix);
  check(u::length(prefix) == (n < count ? n : count));
  check(u::first_chars(text, count) == text);

  const std::string digits = u::digits_only(text);
  check(digits.find_first_not_of("0123456789") == std::string::npos);

  const std::string back = u::to_utf8(cps);
  check(well_formed(back));
  check(u::to_u32(back) == cps);
  if (well_formed(text)) check(back == text);

  // Code points straight from the bytes, surrogates and out-of-range values included.
  std::u32string raw;
  for (std::size_t i = 0; i + 4 <= size; i += 4)
    raw.push_back(static_cast<char32_t>(data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                                        static_cast<uint32_t>(data[i + 3]) << 24));
  const std::string encoded = u::to_utf8(raw);
  check(well_formed(encoded));
  check(u::length(encoded) == raw.size());
  for (char32_t cp : raw) (void)u::is_space(cp);
  return 0;
}
