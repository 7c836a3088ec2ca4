// Fixed user-facing messages.
#pragma once

#include <string>

namespace talmo::messages {

extern const std::string COMPLEX_TASK_MESSAGE;     // sent unchanged
extern const std::string PAST_TIME_ERROR_MESSAGE;  // filled with {owner}
extern const std::string FIRST_MESSAGE_TEMPLATE;   // filled with {owner}, {bot_name}, {tone}

}  // namespace talmo::messages
