// Texts the bridge sends in request headers (a photo's or document's
// caption, a document's file name, the message being replied to), and the
// line that shows the owner's reply as a reply.
#pragma once

#include <string>
#include <string_view>

namespace talmo::ingrest {

// A header value percent-encoded as JavaScript's encodeURIComponent encodes
// it, decoded to UTF-8. A value that does not decode (a stray "%", a
// sequence that is not UTF-8) is used as it stands, with any byte that is
// not UTF-8 replaced by U+FFFD.
std::string decode_header_text(std::string_view value);

// The quoted text cut here (in characters) on the replying-to line.
inline constexpr std::size_t MAX_QUOTED_CHARS = 300;

// "[Replying to: “<quoted, cut at MAX_QUOTED_CHARS characters>”]\n", put
// before the message a reply runs on; "" when `quoted` is blank.
std::string replying_to_line(std::string_view quoted);

}  // namespace talmo::ingrest
