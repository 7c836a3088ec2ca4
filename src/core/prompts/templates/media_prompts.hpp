// The fixed prompts of the calls that turn a photo or a document into text
// for the conversation engine.
#pragma once

#include <string>

namespace talmo::templates {

// The text beside the image in the vision call; the owner's caption follows it.
extern const std::string PHOTO_PROMPT;

// The system prompt of the document digest; the caption, file name and
// extracted text follow as the user message.
extern const std::string DOCUMENT_DIGEST_PROMPT;

}  // namespace talmo::templates
