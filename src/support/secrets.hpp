// Masking of configured secrets (API keys, the bridge token) in every text
// that leaves the process for the model or the log.
//
// Services echo keys in their error texts, and such texts reach the log and,
// as action results, the model. Three rules, each replacing what it finds
// with "***": every whole occurrence of a secret; any stretch of 8 or more
// characters shared with a secret (a partly masked key still gives itself
// away); any word beginning with a key prefix ("gsk_", "tvly-"), which
// catches keys this process was never given. Ordinary words are left alone.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace talmo::secrets {

// The shortest shared stretch that counts as a leak.
inline constexpr std::size_t MIN_STRETCH = 8;

// Sets the secrets of one source (e.g. "groq", "tavily", "bridge"),
// replacing what that source set before. Values shorter than MIN_STRETCH
// characters are ignored: no real key is that short, and masking one would
// cut into ordinary words.
void set(const std::string& source, std::vector<std::string> values);

// `text` with every configured secret masked.
std::string mask(std::string_view text);

// `text` with the given secrets masked (the rules above, for these alone).
std::string mask(std::string_view text, const std::vector<std::string>& values);

}  // namespace talmo::secrets
