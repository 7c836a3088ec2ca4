#include "core/prompts/messages/messages.hpp"

#include <map>

namespace talmo::messages {

// The first character is the battery emoji; *...* and _..._ are WhatsApp bold
// and italics.
const std::string FIRST_MESSAGE_TEMPLATE =
    "🔋 *Powered up, {owner}.*\n"
    "\n"
    "{bot_name} reporting in. I've been set to _{tone}_ tone.\n"
    "\n"
    "At your service.";

// Addresses the owner as "Sir" whatever the configured form of address.
const std::string COMPLEX_TASK_MESSAGE =
    "I apologize, Sir, but this task appears to be too complex for me to handle in one go.\n"
    "Could you please simplify your request?";

const std::string PAST_TIME_ERROR_MESSAGE =
    "I apologize, {owner}, but I cannot schedule a task for a time that has already passed.";

const std::string READABLE_KINDS_SENTENCE =
    "For now I can read text, voice notes, photos, documents (PDFs and text files), locations and contacts.";

namespace {

const std::string OTHER_KIND_MESSAGE =
    "I can't open this kind of message yet, Boss. " + READABLE_KINDS_SENTENCE;

const std::map<std::string, std::string, std::less<>> OTHER_KIND_MESSAGES = {
    {"sticker", "I can't see stickers yet, Boss. " + READABLE_KINDS_SENTENCE},
    {"video", "I can't watch videos yet, Boss. " + READABLE_KINDS_SENTENCE},
    {"video_note", "I can't watch video notes yet, Boss. " + READABLE_KINDS_SENTENCE +
                       " A voice note works just as well."},
    {"gif", "I can't see GIFs yet, Boss. " + READABLE_KINDS_SENTENCE},
    {"poll", "I can't take part in polls yet, Boss. " + READABLE_KINDS_SENTENCE},
    {"event", "I can't open event invitations yet, Boss. " + READABLE_KINDS_SENTENCE +
                  " Tell me the date and time and I'll set a reminder."},
    {"view_once", "View-once photos and videos never reach me, Boss. " + READABLE_KINDS_SENTENCE},
    {"audio", "I can't listen to audio files yet, Boss, only to voice notes. " + READABLE_KINDS_SENTENCE},
    // A photo or document reaches this route only when the bridge could not download it.
    {"image", "I couldn't download that photo, Boss. Could you send it again?"},
    {"document", "I couldn't download that document, Boss. Could you send it again?"},
    {"document_too_large", "That document is too large for me to open, Boss: I read files up to 20 MB. "
                           "Could you send a smaller file, or just the pages that matter?"},
    {"voice_note", "I couldn't download that voice note, Boss. Could you send it again?"},
    {"other", OTHER_KIND_MESSAGE},
};

}  // namespace

const std::string& other_kind_message(std::string_view kind) {
  auto it = OTHER_KIND_MESSAGES.find(kind);
  return it == OTHER_KIND_MESSAGES.end() ? OTHER_KIND_MESSAGE : it->second;
}

}  // namespace talmo::messages
