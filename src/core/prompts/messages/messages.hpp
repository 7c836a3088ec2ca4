// Fixed user-facing messages.
#pragma once

#include <string>
#include <string_view>

namespace talmo::messages {

extern const std::string COMPLEX_TASK_MESSAGE;     // sent unchanged
extern const std::string PAST_TIME_ERROR_MESSAGE;  // filled with {owner}
extern const std::string FIRST_MESSAGE_TEMPLATE;   // filled with {owner}, {bot_name}, {tone}

// What Talmo can read, as the answers below tell the owner.
extern const std::string READABLE_KINDS_SENTENCE;

// The answer to a message of a kind Talmo cannot read (the bridge's kind:
// "sticker", "video", "video_note", "gif", "poll", "event", "view_once",
// "audio", "image", "document", "document_too_large", "voice_note" for a
// voice note the bridge could not download, "other"): what happened, and
// what Talmo can read or what to send instead. An unknown kind gets the
// answer for "other". Sent unchanged.
const std::string& other_kind_message(std::string_view kind);

}  // namespace talmo::messages
