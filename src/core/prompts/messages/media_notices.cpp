#include "core/prompts/messages/media_notices.hpp"

namespace talmo::messages {

const std::string PHOTO_UNSUPPORTED_NOTICE =
    "📷 I can't open that kind of image. I read photos in JPEG, PNG and WebP: please send it as an ordinary "
    "photo.";
const std::string PHOTO_TOO_LARGE_NOTICE =
    "📷 That photo is too large for me to read. Please send a smaller one: a screenshot or a cropped photo works "
    "well.";
const std::string PHOTO_UNREADABLE_NOTICE =
    "📷 Sorry, I couldn't read that photo: my vision service did not answer. Please send it again in a little "
    "while.";

const std::string DOCUMENT_UNSUPPORTED_NOTICE =
    "📄 I can't open that kind of file. I read PDFs and text files (plain text, Markdown, CSV, JSON), and "
    "photos: please send it in one of those forms.";
const std::string DOCUMENT_TOO_LARGE_NOTICE =
    "📄 That document is too large for me: I read PDFs and text files up to 20 MB. Please send a smaller file, "
    "or just the pages that matter.";
const std::string DOCUMENT_NO_TEXT_NOTICE =
    "📄 That PDF has no text I can read: it looks like a scan. I read PDFs with text and text files; send the "
    "pages that matter as photos and I'll read those.";
const std::string DOCUMENT_ENCRYPTED_NOTICE =
    "📄 That PDF is locked with a password, so I can't open it. Please send a copy without the password: I "
    "read PDFs and text files.";
const std::string DOCUMENT_UNREADABLE_NOTICE =
    "📄 Sorry, I couldn't read that document. I read PDFs and text files (plain text, Markdown, CSV, JSON); "
    "please send it again in a little while.";

}  // namespace talmo::messages
