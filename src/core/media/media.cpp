#include "core/media/media.hpp"

#include "core/llm/lexgate/lexgate.hpp"
#include "core/prompts/templates/media_prompts.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "support/secrets.hpp"
#include "support/unicode.hpp"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace talmo::media {

namespace {

using Outcome = Reading::Outcome;

bool is_generic(const std::string& type) { return type.empty() || type == "application/octet-stream"; }

std::string base64(std::string_view bytes) {
  static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out((bytes.size() + 2) / 3 * 4, '=');
  char* p = out.data();
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned n = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
    *p++ = ALPHABET[n >> 18];
    *p++ = ALPHABET[(n >> 12) & 63];
    *p++ = ALPHABET[(n >> 6) & 63];
    *p++ = ALPHABET[n & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const unsigned n = in[i] << 16 | (rest == 2 ? in[i + 1] << 8 : 0);
    *p++ = ALPHABET[n >> 18];
    *p++ = ALPHABET[(n >> 12) & 63];
    if (rest == 2) *p = ALPHABET[(n >> 6) & 63];  // the rest stays "="
  }
  return out;
}

// Valid UTF-8: malformed bytes become U+FFFD.
std::string repaired(std::string_view bytes) { return unicode::to_utf8(unicode::to_u32(bytes)); }

// The text cut after MAX_DOCUMENT_CHARS characters; `cut` tells whether
// anything was left out.
std::string bounded(std::string text, bool& cut) {
  if (unicode::length(text) <= MAX_DOCUMENT_CHARS) return text;
  cut = true;
  return unicode::first_chars(text, MAX_DOCUMENT_CHARS);
}

// Poppler writes its complaints about a broken file to stderr unless told
// otherwise; they belong in the log, and only for those who debug.
void poppler_error(const std::string& text, void*) { log::debug("Poppler: " + text); }

// Poppler's global state is not safe for several documents opened at once.
std::mutex g_poppler_mu;

Extraction extract_pdf(std::string_view bytes) {
  Extraction out;
  std::lock_guard lock(g_poppler_mu);
  static std::once_flag quiet;
  std::call_once(quiet, [] { poppler::set_debug_error_function(poppler_error, nullptr); });
  // Poppler reads the bytes in place: they outlive the document.
  std::unique_ptr<poppler::document> doc(
      poppler::document::load_from_raw_data(bytes.data(), static_cast<int>(bytes.size())));
  if (!doc) {
    // An encrypted file that asks for a password does not open either.
    out.outcome = Outcome::unreadable;
    return out;
  }
  if (doc->is_locked()) {
    out.outcome = Outcome::encrypted;
    return out;
  }
  const int pages = doc->pages();
  out.pages = pages;
  std::string text;
  std::size_t chars = 0;
  for (int i = 0; i < pages && chars <= MAX_DOCUMENT_CHARS; ++i) {
    std::unique_ptr<poppler::page> page(doc->create_page(i));
    if (!page) continue;
    const poppler::byte_array utf8 = page->text().to_utf8();
    std::string page_text = unicode::trim(repaired(std::string_view(utf8.data(), utf8.size())));
    if (page_text.empty()) continue;
    if (!text.empty()) text += "\n\n";
    text += page_text;
    chars = unicode::length(text);
  }
  if (text.empty()) {
    out.outcome = Outcome::no_text;
    return out;
  }
  out.text = bounded(std::move(text), out.cut);
  out.outcome = Outcome::read;
  return out;
}

// The user message of the digest call.
std::string digest_input(const Extraction& doc, const std::string& caption, const std::string& name) {
  const std::string question = unicode::trim(caption);
  std::string input = "Caption: " + (question.empty() ? std::string("(none)") : question) + "\n";
  input += "File name: " + name + "\n";
  if (doc.pages) input += "Pages: " + std::to_string(*doc.pages) + "\n";
  input += "Text:\n" + doc.text;
  if (doc.cut) input += "\n[The text is cut here; the document goes on.]";
  return input;
}

// Control characters (a line break in a file name) would break the
// bracketed line the name sits in.
std::string one_line(const std::string& text) {
  std::u32string cps = unicode::to_u32(text);
  for (auto& cp : cps)
    if (cp < 0x20 || cp == 0x7f) cp = U' ';
  return unicode::to_utf8(cps);
}

std::string with_caption(const std::string& caption, const std::string& bracket) {
  const std::string shown = unicode::trim(caption);
  if (shown.empty()) return bracket;
  return secrets::mask(shown) + "\n" + bracket;
}

}  // namespace

std::string bare_type(std::string_view content_type) {
  const std::size_t semicolon = content_type.find(';');
  return unicode::to_lower(unicode::trim(content_type.substr(0, semicolon)));
}

std::optional<std::string> photo_type(std::string_view content_type, std::string_view bytes) {
  std::string type = bare_type(content_type);
  if (type == "image/jpg") type = "image/jpeg";
  if (type == "image/jpeg" || type == "image/png" || type == "image/webp") return type;
  if (!is_generic(type)) return std::nullopt;
  if (bytes.starts_with("\xFF\xD8\xFF")) return "image/jpeg";
  if (bytes.starts_with("\x89PNG\r\n\x1A\n")) return "image/png";
  if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP") return "image/webp";
  return std::nullopt;
}

Reading read_photo(std::string_view image, std::string_view content_type, const std::string& caption) {
  const auto type = photo_type(content_type, image);
  if (!type) return {Outcome::unsupported, ""};
  if (image.size() > MAX_PHOTO_BYTES) return {Outcome::too_large, ""};

  std::string prompt = templates::PHOTO_PROMPT;
  const std::string question = unicode::trim(caption);
  prompt += question.empty() ? "\n\nThe owner sent no caption." : "\n\nThe owner's caption: “" + question + "”";
  // Built by moving: an initializer list would copy the megabytes of base64.
  json text_part = json::object(), image_part = json::object(), url = json::object(), message = json::object();
  text_part["type"] = "text";
  text_part["text"] = std::move(prompt);
  url["url"] = "data:" + *type + ";base64," + base64(image);
  image_part["type"] = "image_url";
  image_part["image_url"] = std::move(url);
  message["role"] = "user";
  message["content"] = json::array();
  message["content"].push_back(std::move(text_part));
  message["content"].push_back(std::move(image_part));
  json messages = json::array();
  messages.push_back(std::move(message));

  const lexgate::Stage stage("vision");
  const lexgate::Completion answer =
      lexgate::complete(messages, lexgate::Model::vision, "Vision", MAX_VISION_REQUEST_BYTES);
  switch (answer.outcome) {
    case lexgate::Completion::Outcome::answered:
      // A screenshot can show a key: what the model read is masked like what it is sent.
      return {Outcome::read, photo_text(caption, secrets::mask(unicode::trim(answer.content)))};
    case lexgate::Completion::Outcome::too_large: return {Outcome::too_large, ""};
    case lexgate::Completion::Outcome::failed: break;
  }
  return {Outcome::unreadable, ""};
}

std::optional<DocumentType> document_type(std::string_view content_type, std::string_view bytes) {
  const std::string type = bare_type(content_type);
  if (type == "application/pdf") return DocumentType::pdf;
  if (type == "text/plain" || type == "text/markdown" || type == "text/csv" || type == "application/json")
    return DocumentType::text;
  if (is_generic(type) && bytes.starts_with("%PDF-")) return DocumentType::pdf;
  return std::nullopt;
}

Extraction extract_document(std::string_view bytes, std::string_view content_type) {
  Extraction out;
  if (bytes.size() > MAX_DOCUMENT_BYTES) {
    out.outcome = Outcome::too_large;
    return out;
  }
  const auto type = document_type(content_type, bytes);
  if (!type) {
    out.outcome = Outcome::unsupported;
    return out;
  }
  if (*type == DocumentType::pdf) return extract_pdf(bytes);
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  // No character is longer than 4 bytes: the cut lies within this prefix,
  // and a sequence the prefix breaks lies beyond it.
  std::string text = repaired(bytes.substr(0, 4 * MAX_DOCUMENT_CHARS + 4));
  if (unicode::trim(text).empty()) {
    out.outcome = Outcome::no_text;
    return out;
  }
  out.text = bounded(std::move(text), out.cut);
  out.outcome = Outcome::read;
  return out;
}

Reading read_document(std::string_view bytes, std::string_view content_type, const std::string& caption,
                      const std::string& file_name) {
  const Extraction doc = extract_document(bytes, content_type);
  if (doc.outcome != Outcome::read) return {doc.outcome, ""};
  const std::string name = unicode::trim(file_name).empty() ? "document" : one_line(unicode::trim(file_name));

  json messages = json::array();
  messages.push_back({{"role", "system"}, {"content", templates::DOCUMENT_DIGEST_PROMPT}});
  messages.push_back({{"role", "user"}, {"content", digest_input(doc, caption, name)}});
  const lexgate::Stage stage("document");
  const lexgate::Completion answer = lexgate::complete(messages, lexgate::Model::chat, "Document");
  if (answer.outcome != lexgate::Completion::Outcome::answered) return {Outcome::unreadable, ""};
  return {Outcome::read, document_text(caption, name, doc.pages, secrets::mask(unicode::trim(answer.content)))};
}

std::string photo_text(const std::string& caption, const std::string& description) {
  return with_caption(caption, "[Photo: " + description + "]");
}

std::string document_text(const std::string& caption, const std::string& file_name, std::optional<int> pages,
                          const std::string& digest) {
  std::string bracket = "[Document “" + file_name + "”";
  if (pages) bracket += ", " + std::to_string(*pages) + (*pages == 1 ? " page" : " pages");
  return with_caption(caption, bracket + ": " + digest + "]");
}

}  // namespace talmo::media
