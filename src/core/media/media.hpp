// Photos and documents the owner sends, turned into text the conversation
// engine runs on, the way a voice note becomes its transcript: a photo is
// described by the vision model, a document's text is extracted (Poppler for
// PDF) and condensed by one chat call.
//
// Thread safety: every function may be called from any thread (PDF
// extraction is serialised inside).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talmo::media {

// Groq's limit on a request that carries an image.
inline constexpr std::size_t MAX_VISION_REQUEST_BYTES = 4'000'000;
// No photo larger than this can fit in such a request: base64 turns every
// 3 bytes into 4.
inline constexpr std::size_t MAX_PHOTO_BYTES = MAX_VISION_REQUEST_BYTES / 4 * 3;
// The largest document read.
inline constexpr std::size_t MAX_DOCUMENT_BYTES = 20ull * 1024 * 1024;
// The extracted text given to the digest is cut after this many characters.
inline constexpr std::size_t MAX_DOCUMENT_CHARS = 24'000;

// What reading a photo or a document came to.
struct Reading {
  enum class Outcome {
    read,         // `text` is what the conversation runs on
    unsupported,  // a type that is not read
    too_large,    // the file, or the request it makes, is over the limit
    no_text,      // a PDF without a text layer (a scan)
    encrypted,    // a PDF that needs a user password
    unreadable,   // a broken file, or the model call failed on every key
  };
  Outcome outcome = Outcome::unreadable;
  // "<caption>\n[Photo: <description>]" or
  // "<caption>\n[Document “<name>”, <n> pages: <digest>]", with secrets masked
  // (only with `read`).
  std::string text;
};

// The media type (lower case, without parameters) of a Content-Type value:
// "Image/JPEG; q=1" -> "image/jpeg".
std::string bare_type(std::string_view content_type);

// "image/jpeg", "image/png" or "image/webp" for a photo of one of these
// types; a generic type (empty or application/octet-stream) is told from the
// first bytes. Nothing for any other type.
std::optional<std::string> photo_type(std::string_view content_type, std::string_view bytes);

// Has the vision model (VISION_MODEL, under the usage stage "vision")
// describe `image` in one chat completion: one user message whose content is
// a text part (the fixed photo prompt, then the caption) and an image_url part
// with the image as a base64 data URL. `too_large` when that request would
// exceed MAX_VISION_REQUEST_BYTES (nothing is sent); `unreadable` when the
// call failed on every key or gave no description.
Reading read_photo(std::string_view image, std::string_view content_type, const std::string& caption);

// The document types read: PDF, and text (text/plain, text/markdown,
// text/csv, application/json). A generic type is a PDF when the first bytes
// say so ("%PDF-").
enum class DocumentType { pdf, text };
std::optional<DocumentType> document_type(std::string_view content_type, std::string_view bytes);

// The text of a document, before the digest.
struct Extraction {
  Reading::Outcome outcome = Reading::Outcome::unreadable;  // read: `text` holds the text
  std::string text;                                          // valid UTF-8, cut at MAX_DOCUMENT_CHARS
  std::optional<int> pages;                                  // PDFs only
  bool cut = false;                                          // the text went on beyond the cut
};

// Extracts the text: a PDF page by page through Poppler (no_text when no
// page holds any, encrypted when it needs a user password, unreadable when
// Poppler cannot open it); a text file as UTF-8 with invalid bytes replaced
// by U+FFFD. too_large above MAX_DOCUMENT_BYTES.
Extraction extract_document(std::string_view bytes, std::string_view content_type);

// Extracts the document's text and has the chat model (under the usage
// stage "document") condense it, given the caption, in one call.
// `unreadable` also when that call failed on every key. An empty file name
// reads "document".
Reading read_document(std::string_view bytes, std::string_view content_type, const std::string& caption,
                      const std::string& file_name);

// The conversation texts, with configured secrets masked in the caption,
// and without the caption line when the caption is blank: "<caption>\n[Photo: <description>]" and
// "<caption>\n[Document “<name>”, <n> pages: <digest>]" (", <n> pages" only
// for PDFs; "1 page" for one).
std::string photo_text(const std::string& caption, const std::string& description);
std::string document_text(const std::string& caption, const std::string& file_name, std::optional<int> pages,
                          const std::string& digest);

}  // namespace talmo::media
