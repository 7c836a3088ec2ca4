// The system prompts sent to the language model, as constant texts. Texts
// are UTF-8; their documented lengths count code points, before filling.
#pragma once

#include <string>

namespace talmo::templates {

extern const std::string PERSONA_BLOCK;
extern const std::string GENERAL_GUIDELINES;
extern const std::string IDENTITY_MODULE_BLOCK;
extern const std::string IDENTITY_GUIDELINES;
extern const std::string IDENTITY_EXAMPLES;
extern const std::string IDENTITY_WORKER_PROMPT;
extern const std::string SCHEDULES_MODULE_BLOCK;
extern const std::string SCHEDULES_GUIDELINES;
extern const std::string SCHEDULES_EXAMPLES;
extern const std::string SCHEDULES_WORKER_PROMPT;
extern const std::string WEB_SEARCH_MODULE_BLOCK;
extern const std::string WEB_SEARCH_GUIDELINES;
extern const std::string WEB_SEARCH_EXAMPLES;
extern const std::string WEB_SEARCH_WORKER_PROMPT;
extern const std::string WEB_SEARCH_SUMMARIZER_BLOCK;
extern const std::string WEB_SEARCH_SUMMARIZER_GUIDELINES;
extern const std::string WEB_SEARCH_SUMMARIZER_PROMPT;
extern const std::string ROUTER_PROMPT;

}  // namespace talmo::templates
