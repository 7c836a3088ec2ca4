// The photo and document webhooks: owner check, the bounded body, the
// reading (vision call, or extraction and digest) before the answer, then the
// conversation on the text, as a voice note runs on its transcript.
#include "core/prompts/messages/media_notices.hpp"
#include "routes/ingrest/ingrest.hpp"
#include "routes/ingrest/internal.hpp"
#include "support/log.hpp"
#include "support/unicode.hpp"

#include <algorithm>
#include <stdexcept>

namespace talmo::ingrest {

namespace {

using Outcome = media::Reading::Outcome;

// What tells the two routes apart.
struct Kind {
  const char* path;      // "/whatsapp/incoming/image"
  const char* noun;      // "photo", in log lines
  const char* webhook;   // "image", in the error line
  const char* empty;     // the reason for an empty body
  std::uint64_t limit;   // the largest body read
  // The reason and the owner's notice for each outcome but `read`.
  const char* (*reason)(Outcome);
  const std::string* (*notice)(Outcome);
};

const char* photo_reason(Outcome o) {
  switch (o) {
    case Outcome::unsupported: return "Unsupported image type";
    case Outcome::too_large: return "Image too large";
    default: return "Image could not be read";
  }
}

const std::string* photo_notice(Outcome o) {
  switch (o) {
    case Outcome::unsupported: return &messages::PHOTO_UNSUPPORTED_NOTICE;
    case Outcome::too_large: return &messages::PHOTO_TOO_LARGE_NOTICE;
    default: return &messages::PHOTO_UNREADABLE_NOTICE;
  }
}

const char* document_reason(Outcome o) {
  switch (o) {
    case Outcome::unsupported: return "Unsupported document type";
    case Outcome::too_large: return "Document too large";
    case Outcome::no_text: return "Document has no text";
    case Outcome::encrypted: return "Document is encrypted";
    default: return "Document could not be read";
  }
}

const std::string* document_notice(Outcome o) {
  switch (o) {
    case Outcome::unsupported: return &messages::DOCUMENT_UNSUPPORTED_NOTICE;
    case Outcome::too_large: return &messages::DOCUMENT_TOO_LARGE_NOTICE;
    case Outcome::no_text: return &messages::DOCUMENT_NO_TEXT_NOTICE;
    case Outcome::encrypted: return &messages::DOCUMENT_ENCRYPTED_NOTICE;
    default: return &messages::DOCUMENT_UNREADABLE_NOTICE;
  }
}

const Kind PHOTO{"/whatsapp/incoming/image", "photo", "image", "Empty image body", media::MAX_PHOTO_BYTES,
                 photo_reason, photo_notice};
const Kind DOCUMENT{"/whatsapp/incoming/document", "document", "document", "Empty document body",
                    media::MAX_DOCUMENT_BYTES, document_reason, document_notice};

json ignored(const char* reason) { return json{{"status", "ignored"}, {"reason", reason}}; }

// The owner hears why their file was not read; a notice that cannot be
// queued is logged and changes no answer.
void notify(const Bindings& b, const std::string& sender, const std::string& text) {
  try {
    if (!b.send_notice) throw std::runtime_error("no notice sender is bound");
    b.send_notice(sender, text);
  } catch (const std::exception& e) {
    log::error("Could not send the owner a notice: " + std::string(e.what()));
  }
}

Answer not_read(const Bindings& b, const Kind& kind, const MediaRequest& request, Outcome outcome) {
  const char* reason = kind.reason(outcome);
  log::warning("The " + std::string(kind.noun) + " from " + request.sender + " was not read: " + reason);
  notify(b, request.sender, *kind.notice(outcome));
  return {200, ignored(reason)};
}

Answer media_answer(const MediaRequest& request, const Kind& kind) {
  const std::shared_ptr<const Bindings> bound = internal::current_bindings();
  const Bindings& b = *bound;
  const std::string& sender = request.sender;
  if (sender.empty()) return {200, ignored("Missing X-Sender header")};
  log::debug(std::string("Webhook ") + kind.path + ": sender " + json_text(json(sender)) + ", " +
             (request.content_length ? std::to_string(*request.content_length) + " bytes" : "length not declared"));
  if (!internal::owner_or_logged(sender)) return {200, json{{"status", "unauthorized"}}};

  // A declared length above the limit is refused before any byte is read.
  if (request.content_length && *request.content_length > kind.limit)
    return not_read(b, kind, request, Outcome::too_large);
  std::string body;
  if (request.content_length) body.reserve(static_cast<std::size_t>(*request.content_length));
  bool too_large = false, complete = true;
  if (request.read_body) {
    complete = request.read_body([&](std::string_view chunk) {
      if (body.size() + chunk.size() > kind.limit) {
        too_large = true;
        return false;
      }
      body.append(chunk);
      return true;
    });
  }
  if (too_large) return not_read(b, kind, request, Outcome::too_large);
  if (!complete) throw std::runtime_error("the " + std::string(kind.webhook) + " body could not be read in full");
  if (body.empty()) return {200, ignored(kind.empty)};

  const std::string caption = header_text(request.caption);
  if (b.set_typing) {
    try {
      b.set_typing(sender, true);
    } catch (const std::exception& e) {
      log::warning("Could not show the typing indicator: " + std::string(e.what()));
    }
  }
  media::Reading reading;
  if (&kind == &PHOTO) {
    log::info("Reading photo from " + sender + " with the vision model...");
    if (!b.read_photo) throw std::runtime_error("no photo reader is bound");
    reading = b.read_photo(body, request.content_type, caption);
  } else {
    log::info("Reading document from " + sender + "...");
    if (!b.read_document) throw std::runtime_error("no document reader is bound");
    reading = b.read_document(body, request.content_type, caption, header_text(request.file_name));
  }
  if (reading.outcome != Outcome::read) return not_read(b, kind, request, reading.outcome);

  const std::string text = with_quote(header_text(request.quoted), reading.text);
  log::info("Read the " + std::string(kind.noun) + ": '" + unicode::first_chars(reading.text, 40) + "...'");
  log::success("Verified Boss " + std::string(kind.noun) + ". Handing off to AI...");
  if (!b.enqueue_conversation) throw std::runtime_error("no conversation runner is bound");
  b.enqueue_conversation(sender, text);
  return {200, json{{"status", "received"}}};
}

Answer handle(const MediaRequest& request, const Kind& kind) {
  try {
    return media_answer(request, kind);
  } catch (const std::exception& e) {
    log::error("Error processing WhatsApp bridge " + std::string(kind.webhook) + " webhook: " + e.what());
    return {200, json{{"status", "error"}, {"message", e.what()}}};
  }
}

}  // namespace

Answer handle_incoming_image_message(const MediaRequest& request) { return handle(request, PHOTO); }

Answer handle_incoming_document_message(const MediaRequest& request) { return handle(request, DOCUMENT); }

bool is_media_path(std::string_view path) { return path == PHOTO.path || path == DOCUMENT.path; }

Answer handle_media_request(const web::Request& request) {
  MediaRequest media;
  media.sender = request.headers.get("X-Sender");
  media.content_type = request.headers.get("Content-Type");
  media.caption = request.headers.get("X-Caption");
  media.quoted = request.headers.get("X-Quoted");
  media.file_name = request.headers.get("X-File-Name");
  media.content_length = request.content_length;
  media.read_body = request.read_body;
  return request.path == PHOTO.path ? handle_incoming_image_message(media) : handle_incoming_document_message(media);
}

}  // namespace talmo::ingrest
