#include "support/secrets.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace talmo::secrets {

namespace {

constexpr std::string_view KEY_PREFIXES[] = {"gsk_", "tvly-"};

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}
bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// What mask() needs, prepared once per change of the secrets.
struct Masker {
  std::vector<std::string> values;           // every secret, for whole occurrences
  std::unordered_set<std::string> stretches;  // every MIN_STRETCH-long piece of a secret

  explicit Masker(std::vector<std::string> v) : values(std::move(v)) {
    for (const auto& s : values)
      for (std::size_t i = 0; i + MIN_STRETCH <= s.size(); ++i) stretches.insert(s.substr(i, MIN_STRETCH));
  }

  std::string apply(std::string_view text) const {
    std::vector<bool> hidden(text.size(), false);
    auto hide = [&](std::size_t from, std::size_t to) {
      for (std::size_t k = from; k < to; ++k) hidden[k] = true;
    };
    bool any = false;
    for (const auto& s : values) {
      for (std::size_t at = text.find(s); at != std::string_view::npos; at = text.find(s, at + 1)) {
        hide(at, at + s.size());
        any = true;
      }
    }
    // A longer shared stretch is a chain of overlapping MIN_STRETCH pieces.
    if (!stretches.empty()) {
      std::string piece(MIN_STRETCH, '\0');
      for (std::size_t i = 0; i + MIN_STRETCH <= text.size(); ++i) {
        piece.assign(text.substr(i, MIN_STRETCH));
        if (stretches.count(piece)) {
          hide(i, i + MIN_STRETCH);
          any = true;
        }
      }
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i > 0 && is_word_char(text[i - 1])) continue;
      for (auto prefix : KEY_PREFIXES) {
        if (text.substr(i, prefix.size()) != prefix) continue;
        std::size_t end = i + prefix.size();
        while (end < text.size() && is_word_char(text[end])) ++end;
        hide(i, end);
        any = true;
      }
    }
    if (!any) return std::string(text);

    // A masked run takes whole characters, never a piece of one.
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!hidden[i]) continue;
      for (std::size_t j = i; j > 0 && is_continuation(text[j]);) hidden[--j] = true;
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
      if (!hidden[i]) {
        out += text[i++];
        continue;
      }
      while (i < text.size() && (hidden[i] || is_continuation(text[i]))) ++i;
      out += "***";
    }
    return out;
  }
};

std::mutex g_mu;
std::map<std::string, std::vector<std::string>> g_sources;
std::shared_ptr<const Masker> g_masker = std::make_shared<const Masker>(std::vector<std::string>{});

std::size_t characters(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) n += is_continuation(c) ? 0 : 1;
  return n;
}

// The values worth masking: one shorter than MIN_STRETCH characters cannot be
// a real key, and masking it would cut into the owner's own words ("hello"
// inside "Othello").
std::vector<std::string> maskable(std::vector<std::string> values) {
  std::vector<std::string> out;
  for (auto& v : values)
    if (characters(v) >= MIN_STRETCH) out.push_back(std::move(v));
  return out;
}

}  // namespace

void set(const std::string& source, std::vector<std::string> values) {
  std::lock_guard lock(g_mu);
  g_sources[source] = maskable(std::move(values));
  std::vector<std::string> all;
  for (const auto& [name, vs] : g_sources) all.insert(all.end(), vs.begin(), vs.end());
  g_masker = std::make_shared<const Masker>(std::move(all));
}

std::string mask(std::string_view text) {
  std::shared_ptr<const Masker> masker;
  {
    std::lock_guard lock(g_mu);
    masker = g_masker;
  }
  return masker->apply(text);
}

std::string mask(std::string_view text, const std::vector<std::string>& values) {
  return Masker(maskable(values)).apply(text);
}

}  // namespace talmo::secrets
