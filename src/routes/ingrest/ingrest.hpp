// The inbound routes the bridge calls, as plain functions from request to
// answer, and the one entry point a server hands every request to.
//
// Every route answers at once; a verified owner message is handed to
// `enqueue_conversation` and runs after the answer has gone out.
//
// Thread safety: bind() before the server starts; afterwards every handler may
// run on any number of server threads at once (they share only the bindings,
// which are read-only after bind()).
#pragma once

#include "core/media/media.hpp"
#include "support/clock.hpp"
#include "support/json.hpp"
#include "web/request.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::ingrest {

struct Bindings {
  // MASTER_NUMBER as configured, read once; the owner is recognised by its
  // full international digits (see is_owner).
  std::string master_number;
  // Queues handle_conversation(number, message) to run after the answer.
  // Throws when the conversation cannot be queued (the route then answers
  // "error" instead of "received").
  std::function<void(const std::string& number, const std::string& message)> enqueue_conversation;
  // lexgate::transcribe_audio in production: the transcript, or "" on failure.
  std::function<std::string(const std::string& path)> transcribe_audio;
  // Reads MASTER_NUMBER, GROQ_API_KEYS and TAVILY_API_KEY afresh from the
  // configuration source; the map in that key order.
  std::function<json()> read_internal_config;
  // Folder for the temporary audio files; empty means the system's
  // temporary folder (TMPDIR, else /tmp).
  std::filesystem::path temp_dir;
  // Times the refused-sender warnings; the system clock when null.
  std::shared_ptr<Clock> clock;
  // Host names besides the loopback ones that requests may be addressed to:
  // TALMO_HOST and TALMO_ALLOWED_HOSTS (a port in an entry is ignored).
  std::vector<std::string> allowed_hosts;
  // BRIDGE_TOKEN: when set, the webhooks and /internal/config require
  // "Authorization: Bearer <token>".
  std::string bridge_token;
  // media::read_photo and media::read_document in production: the text the
  // conversation runs on, or why there is none.
  std::function<media::Reading(std::string_view image, std::string_view content_type, const std::string& caption)>
      read_photo;
  std::function<media::Reading(std::string_view file, std::string_view content_type, const std::string& caption,
                               const std::string& file_name)>
      read_document;
  // Stores a text for the owner to be sent through the bridge (the durable
  // outbox in production), outside the conversation: never stored in its
  // memory. Throws when it cannot be stored (the other-kinds route then
  // answers "error", and the bridge asks again; the media routes log it).
  std::function<void(const std::string& number, const std::string& text)> send_notice;
  // Typing presence while a photo or document is read; a failure is ignored.
  std::function<bool(const std::string& number, bool on)> set_typing;
};

// Binds the collaborators once at start-up (tests rebind freely). Logs an
// error line when the master number is not a possible international number:
// every sender is then refused.
void bind(Bindings bindings);

// The owner check: `sender` is the owner only when it is digits (with at
// most one leading "+") and those digits equal the full international digits
// of `master_number` (country code included; see phone::parse_international).
// Nothing else passes: no part of a number, no other country's number that
// ends in the same digits, no master number that is not a possible number.
bool is_owner(std::string_view sender, std::string_view master_number);

// A stranger's message is refused with a warning line, but at most one line
// per sender per minute and MAX_REFUSAL_LINES lines per minute in all; the
// refusals held back are counted and reported in one summary line once the
// minute is over (written with the next webhook request). A sender longer
// than MAX_LOGGED_SENDER characters is shown cut, followed by "...".
inline constexpr std::size_t MAX_REFUSAL_LINES = 10;
inline constexpr std::size_t MAX_LOGGED_SENDER = 64;

// The largest voice note accepted (Groq's upload limit of 25 MB, read as MiB).
inline constexpr std::uint64_t MAX_AUDIO_BYTES = 25ull * 1024 * 1024;

using Answer = web::Answer;

// POST /whatsapp/incoming/text with the raw request body. Always status 200:
// "ignored" (missing sender or message), "unauthorized", "received" (the
// conversation is queued) or "error" with the error's text. A text member
// `quoted` (the message replied to) makes the conversation run on
// with_quote(); the answers and log lines stay the same.
//
// Queuing is a durable write; with `may_block` false an accepted owner
// message is not queued (nor logged) and the answer is web::run_on_worker(),
// so the server calls again where blocking is allowed.
Answer handle_incoming_text_message(std::string_view body, bool may_block = true);

// A reply to an earlier message runs the conversation on
// "[Replying to: “<quoted>”]\n<message>", the quoted text cut to
// MAX_QUOTED_CHARS characters; memory stores that text too. An empty or
// blank `quoted` leaves the message as it is. The photo and document routes
// put it before what was read from the file.
inline constexpr std::size_t MAX_QUOTED_CHARS = 300;
std::string with_quote(std::string_view quoted, std::string_view message);

// A text the bridge sent in a header (X-Quoted, and the same way any other
// free text): percent-decoded as decodeURIComponent does. A value that does
// not decode (a stray "%", or bytes that are not UTF-8 once decoded) is used
// as it stands, its bytes that are not UTF-8 replaced by U+FFFD.
std::string header_text(std::string_view value);

// POST /whatsapp/incoming/other: a message of a kind Talmo cannot read,
// {"sender": "<digits>", "kind": "<kind>"}. Always status 200: "ignored"
// ("Missing sender or kind"), "unauthorized", "received" or "error". For the
// owner, one fixed text saying so goes to `send_notice`
// (messages::other_kind_message), at most one per kind per minute on the
// bound clock; inside that minute the answer is still "received" and nothing
// is sent. Nothing is stored in memory and no model is called. Like the text
// route, with `may_block` false an accepted owner message is answered with
// web::run_on_worker() and nothing else happens.
Answer handle_incoming_other_message(std::string_view body, bool may_block = true);

using web::BodyReader;
using web::BodySink;

struct AudioRequest {
  std::string sender;                           // the X-Sender header, "" when absent
  std::string quoted;                           // the X-Quoted header as sent, "" when absent
  std::optional<std::uint64_t> content_length;  // the declared body length, when given
  // Called at most once, and only after the sender passed the owner check.
  BodyReader read_body;
};

// POST /whatsapp/incoming/audio. Always status 200: "ignored" (missing
// X-Sender header, empty body, body above MAX_AUDIO_BYTES, failed
// transcription), "unauthorized", "received" or "error". A stranger's body is
// never read. The body goes to a fresh 0600 temporary file ending in ".ogg",
// which is deleted before this function returns, whatever the outcome. With
// an X-Quoted header (header_text) the conversation runs on with_quote().
// Blocks the calling thread while the audio is transcribed.
Answer handle_incoming_audio_message(const AudioRequest& request);

// A photo or document from the bridge: the raw file as the body, the
// other values from headers. Header texts arrive percent-encoded.
struct MediaRequest {
  std::string sender;        // X-Sender, "" when absent
  std::string content_type;  // Content-Type, "" when absent
  std::string caption;       // X-Caption as sent, "" when absent
  std::string quoted;        // X-Quoted as sent: the message this one replies to
  std::string file_name;     // X-File-Name as sent (documents)
  std::optional<std::uint64_t> content_length;
  // Called at most once, and only after the sender passed the owner check.
  BodyReader read_body;
};

// POST /whatsapp/incoming/image. Always status 200: "ignored" with
// "Missing X-Sender header", "Empty image body", "Unsupported image type",
// "Image too large" (a body above media::MAX_PHOTO_BYTES, or a model request
// above media::MAX_VISION_REQUEST_BYTES) or "Image could not be read" (the
// vision call failed on every key); "unauthorized"; "received" once the
// conversation is queued; or "error". A stranger's body is never read. The
// three last "ignored" answers come with one notice to the owner. The
// owner sees the typing indicator while the photo is read, which blocks the
// calling thread. The conversation runs on the replying-to line (when
// X-Quoted is given) followed by the reading's text.
Answer handle_incoming_image_message(const MediaRequest& request);

// POST /whatsapp/incoming/document: as the image route, with "Empty document
// body", "Unsupported document type", "Document too large" (above
// media::MAX_DOCUMENT_BYTES), "Document has no text", "Document is
// encrypted" and "Document could not be read", each with one notice.
Answer handle_incoming_document_message(const MediaRequest& request);

// True for the paths of the two routes above.
bool is_media_path(std::string_view path);

// Runs the media route of `request` (see is_media_path), with its headers
// and streaming body reader.
Answer handle_media_request(const web::Request& request);

// GET /internal/config from the connection's peer address: the three values
// for a loopback peer (any address of 127.0.0.0/8, "::1", an IPv4-mapped
// ::ffff:127.x.x.x, or "localhost"), else 403 {"detail": "Forbidden"}. An error while reading the configuration
// propagates (the server answers 500).
Answer get_internal_config(std::string_view peer_address);

// The checks every request passes before any route runs; nothing means go
// on, an answer means send it and run nothing. GET /healthz is always let
// through. Every other request must name this server in its one Host header
// (a loopback name or address with any port, or an allowed host) or gets 403
// {"detail": "Forbidden"}: a web page that rebinds its own name to 127.0.0.1
// still sends its own name. On the webhooks and /internal/config (every path
// under /whatsapp/ and /internal/), a request with an Origin header (browsers
// send one; the bridge never does) gets 403 too, and when a bridge token is
// bound one without "Authorization: Bearer <token>" gets 401
// {"detail": "Unauthorized"}; the token is compared in constant time. Reads
// only the method, path and headers.
std::optional<Answer> guard(const web::Request& request);

// Every request the server receives, first through guard(), then by method
// and path: GET /healthz
// ({"status": "ok"}), POST /whatsapp/incoming/text, POST
// /whatsapp/incoming/audio, POST /whatsapp/incoming/other, POST
// /whatsapp/incoming/image, POST /whatsapp/incoming/document, GET
// /internal/config; anything else 404
// {"detail": "Not Found"}. The audio route reads its body itself through
// request.read_body (see streams_body) and blocks while transcribing; the
// others take request.body.
Answer dispatch(const web::Request& request);

// True for the requests whose route reads the body itself, after checking
// the sender, and blocks: POST /whatsapp/incoming/audio, /image and
// /document. The server runs
// those off its event loop and hands them a streaming body reader.
bool streams_body(const web::Request& head);

}  // namespace talmo::ingrest
