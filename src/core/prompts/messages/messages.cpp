#include "core/prompts/messages/messages.hpp"

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

}  // namespace talmo::messages
