// What the owner is told, in one short text, when a photo or a document
// they sent cannot be read. None of these is stored in the conversation
// memory.
#pragma once

#include <string>

namespace talmo::messages {

// Photos.
extern const std::string PHOTO_UNSUPPORTED_NOTICE;
extern const std::string PHOTO_TOO_LARGE_NOTICE;
extern const std::string PHOTO_UNREADABLE_NOTICE;

// Documents; each says what Talmo can read.
extern const std::string DOCUMENT_UNSUPPORTED_NOTICE;
extern const std::string DOCUMENT_TOO_LARGE_NOTICE;
extern const std::string DOCUMENT_NO_TEXT_NOTICE;
extern const std::string DOCUMENT_ENCRYPTED_NOTICE;
extern const std::string DOCUMENT_UNREADABLE_NOTICE;

}  // namespace talmo::messages
