#include "routes/ingrest/ingrest.hpp"

#include "support/log.hpp"
#include "support/unicode.hpp"

#include <httplib.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace talmo::ingrest {

namespace {

// A suffix match on fewer digits would let a short number such as "7" pass
// for the owner.
constexpr std::size_t MIN_SUFFIX_DIGITS = 7;

std::mutex g_mu;
std::shared_ptr<const Bindings> g_bindings = std::make_shared<const Bindings>();

std::shared_ptr<const Bindings> bindings() {
  std::lock_guard lock(g_mu);
  return g_bindings;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

json status_only(const char* status) { return json{{"status", status}}; }
json ignored(const char* reason) { return json{{"status", "ignored"}, {"reason", reason}}; }
json error_body(const std::string& message) {
  return json{{"status", "error"}, {"message", message}};
}

void warn_unauthorized(std::string_view sender, const std::string& master) {
  log::warning("Unauthorized! Sender " + std::string(sender) + " does not match Master " +
               unicode::digits_only(master));
}

// The temporary audio file: created on the first chunk (so an empty body
// leaves no file), 0600, and removed when the request is done, whatever way
// it ends.
class TempAudioFile {
 public:
  explicit TempAudioFile(std::filesystem::path dir) : dir_(std::move(dir)) {}
  TempAudioFile(const TempAudioFile&) = delete;
  TempAudioFile& operator=(const TempAudioFile&) = delete;

  ~TempAudioFile() {
    close_fd();
    if (path_.empty()) return;
    std::error_code ec;
    bool exists = std::filesystem::exists(path_, ec);
    if (!ec && exists) std::filesystem::remove(path_, ec);
    if (ec) log::error("Failed to delete temp file " + path_ + ": " + ec.message());
  }

  void write(std::string_view chunk) {
    if (fd_ < 0 && path_.empty()) create();
    while (!chunk.empty()) {
      ssize_t n = ::write(fd_, chunk.data(), chunk.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw std::runtime_error("could not write temporary audio file " + path_ + ": " +
                                 std::strerror(errno));
      }
      chunk.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Closes the file so the transcriber reads it complete.
  void finish() {
    if (fd_ >= 0 && ::close(fd_) != 0) {
      fd_ = -1;
      throw std::runtime_error("could not close temporary audio file " + path_ + ": " +
                               std::strerror(errno));
    }
    fd_ = -1;
  }

  bool created() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  void create() {
    std::filesystem::path dir = dir_;
    if (dir.empty()) dir = std::filesystem::temp_directory_path();
    std::string templ = (dir / "talmo-voice-XXXXXX.ogg").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    // mkstemps creates the file atomically with mode 0600.
    int fd = ::mkstemps(buf.data(), 4);
    if (fd < 0) {
      throw std::runtime_error("could not create temporary audio file in " + dir.string() + ": " +
                               std::strerror(errno));
    }
    fd_ = fd;
    path_ = buf.data();
  }

  void close_fd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::filesystem::path dir_;
  std::string path_;
  int fd_ = -1;
};

Answer audio_answer(const AudioRequest& request, const Bindings& b) {
  const std::string& sender = request.sender;
  if (sender.empty()) return {200, ignored("Missing X-Sender header")};
  if (!is_owner(sender, b.master_number)) {
    warn_unauthorized(sender, b.master_number);
    return {200, status_only("unauthorized")};
  }
  // A declared length above the limit is refused before any byte is read.
  if (request.content_length && *request.content_length > MAX_AUDIO_BYTES) {
    log::warning("Refused audio from " + sender + ": body of " +
                 std::to_string(*request.content_length) + " bytes exceeds the limit of " +
                 std::to_string(MAX_AUDIO_BYTES) + " bytes");
    return {200, ignored("Audio body too large")};
  }

  TempAudioFile file(b.temp_dir);
  std::uint64_t received = 0;
  bool too_large = false;
  bool complete = true;
  if (request.read_body) {
    complete = request.read_body([&](std::string_view chunk) {
      received += chunk.size();
      if (received > MAX_AUDIO_BYTES) {
        too_large = true;
        return false;
      }
      if (!chunk.empty()) file.write(chunk);
      return true;
    });
  }
  if (too_large) {
    log::warning("Refused audio from " + sender + ": body exceeds the limit of " +
                 std::to_string(MAX_AUDIO_BYTES) + " bytes");
    return {200, ignored("Audio body too large")};
  }
  if (!complete) throw std::runtime_error("the audio body could not be read in full");
  if (received == 0) return {200, ignored("Empty audio body")};
  file.finish();

  log::info("Transcribing audio from " + sender + " using Groq Whisper...");
  if (!b.transcribe_audio) throw std::runtime_error("no transcriber is bound");
  std::string transcript = b.transcribe_audio(file.path());
  if (transcript.empty()) {
    log::warning("Whisper transcription returned empty string or failed.");
    return {200, ignored("Transcription failed")};
  }
  log::info("Successfully transcribed: '" + unicode::first_chars(transcript, 40) + "...'");
  log::success("Verified Boss voice message. Handing off to AI...");
  if (!b.enqueue_conversation) throw std::runtime_error("no conversation runner is bound");
  b.enqueue_conversation(sender, transcript);
  return {200, status_only("received")};
}

Answer text_answer(std::string_view body, const Bindings& b) {
  json data = decode_json(body);
  if (!data.is_object()) throw std::runtime_error("the request body must be a JSON object");
  json sender = data.contains("sender") ? data["sender"] : json("");
  json message = data.contains("message") ? data["message"] : json("");
  if (is_empty_value(sender) || is_empty_value(message)) {
    return {200, ignored("Missing sender or message")};
  }
  if (!sender.is_string()) throw std::runtime_error("'sender' must be a JSON string");
  const std::string& from = sender.get_ref<const std::string&>();
  if (!is_owner(from, b.master_number)) {
    warn_unauthorized(from, b.master_number);
    return {200, status_only("unauthorized")};
  }
  if (!message.is_string()) throw std::runtime_error("'message' must be a JSON string");
  const std::string& text = message.get_ref<const std::string&>();
  log::info("Processing text message from " + from + ": '" + unicode::first_chars(text, 30) +
            "...'");
  log::success("Verified Boss message. Handing off to AI...");
  if (!b.enqueue_conversation) throw std::runtime_error("no conversation runner is bound");
  b.enqueue_conversation(from, text);
  return {200, status_only("received")};
}

void send_answer(httplib::Response& res, const Answer& answer) {
  res.status = answer.status;
  // Error texts may carry bytes of a malformed body; they must not break the answer.
  res.set_content(answer.body.dump(-1, ' ', false, json::error_handler_t::replace),
                  "application/json");
}

}  // namespace

void bind(Bindings b) {
  if (unicode::digits_only(b.master_number).empty()) {
    log::error("MASTER_NUMBER '" + b.master_number +
               "' holds no digit: every sender will be refused");
  }
  auto shared = std::make_shared<const Bindings>(std::move(b));
  std::lock_guard lock(g_mu);
  g_bindings = std::move(shared);
}

bool is_owner(std::string_view sender, std::string_view master_number) {
  const std::string clean = unicode::digits_only(master_number);
  if (clean.empty() || sender.empty()) return false;
  if (sender == clean) return true;
  if (ends_with(sender, clean)) return clean.size() >= MIN_SUFFIX_DIGITS;
  if (ends_with(clean, sender)) return sender.size() >= MIN_SUFFIX_DIGITS;
  return false;
}

Answer handle_incoming_text_message(std::string_view body) {
  auto b = bindings();
  try {
    return text_answer(body, *b);
  } catch (const std::exception& e) {
    log::error(std::string("Error processing Go bridge webhook: ") + e.what());
    return {200, error_body(e.what())};
  }
}

Answer handle_incoming_audio_message(const AudioRequest& request) {
  auto b = bindings();
  try {
    return audio_answer(request, *b);
  } catch (const std::exception& e) {
    log::error(std::string("Error processing Go bridge audio webhook: ") + e.what());
    return {200, error_body(e.what())};
  }
}

Answer get_internal_config(std::string_view peer_address) {
  static constexpr std::array<std::string_view, 4> LOOPBACK = {"127.0.0.1", "localhost", "::1",
                                                               "::ffff:127.0.0.1"};
  bool allowed = false;
  for (auto a : LOOPBACK) allowed = allowed || peer_address == a;
  if (!allowed) return {403, json{{"detail", "Forbidden"}}};
  auto b = bindings();
  if (!b->read_internal_config) throw std::runtime_error("no configuration reader is bound");
  return {200, b->read_internal_config()};
}

void mount(httplib::Server& server) {
  server.Post("/whatsapp/incoming/text", [](const httplib::Request& req, httplib::Response& res) {
    send_answer(res, handle_incoming_text_message(req.body));
  });

  server.Post("/whatsapp/incoming/audio", [](const httplib::Request& req, httplib::Response& res,
                                             const httplib::ContentReader& content_reader) {
    AudioRequest request;
    request.sender = req.get_header_value("X-Sender");
    const bool chunked = strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") == 0;
    const bool has_length = req.has_header("Content-Length");
    if (has_length) {
      try {
        request.content_length = std::stoull(req.get_header_value("Content-Length"));
      } catch (const std::exception&) {
        // An unreadable length is left to the reader, which fails on it.
      }
    }
    bool body_consumed = !chunked && (!has_length || request.content_length == 0u);
    if (chunked || (has_length && request.content_length != 0u)) {
      request.read_body = [&](const BodySink& sink) {
        bool ok = content_reader([&](const char* data, size_t n) {
          return sink(std::string_view(data, n));
        });
        body_consumed = ok;
        return ok;
      };
    }
    // Without a length or chunked framing the request carries no body.
    send_answer(res, handle_incoming_audio_message(request));
    // Unread body bytes would be taken for the next request on this
    // connection; tell the client not to reuse it.
    if (!body_consumed) res.set_header("Connection", "close");
  });

  server.Get("/internal/config", [](const httplib::Request& req, httplib::Response& res) {
    send_answer(res, get_internal_config(req.remote_addr));
  });
}

}  // namespace talmo::ingrest
