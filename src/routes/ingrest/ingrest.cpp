#include "routes/ingrest/ingrest.hpp"

#include "core/prompts/messages/messages.hpp"
#include "routes/ingrest/internal.hpp"

#include "support/bound.hpp"
#include "support/host.hpp"
#include "support/log.hpp"
#include "support/phone.hpp"
#include "support/unicode.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <unistd.h>
#include <vector>

namespace talmo::ingrest {

namespace {

// Digits with at most one leading "+".
bool is_plain_number(std::string_view sender) {
  if (!sender.empty() && sender.front() == '+') sender.remove_prefix(1);
  if (sender.empty()) return false;
  for (char c : sender)
    if (c < '0' || c > '9') return false;
  return true;
}

bool sender_is(std::string_view sender, const std::string& owner_digits) {
  if (owner_digits.empty() || !is_plain_number(sender)) return false;
  if (sender.front() == '+') sender.remove_prefix(1);
  return sender == owner_digits;
}

// The refused-sender warnings, kept small under a flood of strangers.
class RefusalLog {
 public:
  void refused(std::string_view sender, const std::string& owner_digits, TimePoint now) {
    std::string shown = unicode::first_chars(sender, MAX_LOGGED_SENDER);
    if (shown.size() < sender.size()) shown += "...";
    std::lock_guard lock(mu_);
    roll(now);
    auto last = last_line_.find(shown);
    if ((last != last_line_.end() && now - last->second < WINDOW) || lines_ >= MAX_REFUSAL_LINES) {
      ++held_back_;
      return;
    }
    last_line_[shown] = now;
    ++lines_;
    log::warning("Unauthorized! Sender " + shown + " does not match Master " + owner_digits);
  }

  // Writes the summary of a minute that is over.
  void tick(TimePoint now) {
    std::lock_guard lock(mu_);
    roll(now);
  }

 private:
  static constexpr std::chrono::minutes WINDOW{1};

  void roll(TimePoint now) {
    // A clock set back starts a new minute too.
    if (now >= window_start_ && now - window_start_ < WINDOW) return;
    if (held_back_ > 0) {
      log::warning("Unauthorized! " + std::to_string(held_back_) +
                   " more messages from senders other than the owner were refused without a "
                   "line each (one warning per sender per minute)");
    }
    window_start_ = now;
    lines_ = 0;
    held_back_ = 0;
    for (auto it = last_line_.begin(); it != last_line_.end();) {
      if (now < it->second || now - it->second >= WINDOW)
        it = last_line_.erase(it);
      else
        ++it;
    }
  }

  std::mutex mu_;
  TimePoint window_start_{};
  std::size_t lines_ = 0;
  std::size_t held_back_ = 0;
  std::unordered_map<std::string, TimePoint> last_line_;  // sender shown -> its last line
};

// When the owner was last answered for each kind of message Talmo cannot
// read: one answer per kind per minute.
class OtherAnswers {
 public:
  // Whether to answer `kind` now; if so, it counts as answered at `now`
  // until forget() takes it back.
  bool claim(const std::string& kind, TimePoint now) {
    std::lock_guard lock(mu_);
    auto [it, fresh] = last_.try_emplace(kind, now);
    // A clock set back answers again rather than stay silent.
    if (!fresh && now >= it->second && now - it->second < WINDOW) return false;
    previous_[kind] = fresh ? std::nullopt : std::optional<TimePoint>(it->second);
    it->second = now;
    return true;
  }

  // The answer could not be sent: the next message of `kind` is answered.
  void forget(const std::string& kind) {
    std::lock_guard lock(mu_);
    auto previous = previous_[kind];
    if (previous)
      last_[kind] = *previous;
    else
      last_.erase(kind);
  }

 private:
  static constexpr std::chrono::minutes WINDOW{1};
  std::mutex mu_;
  std::unordered_map<std::string, TimePoint> last_;
  std::unordered_map<std::string, std::optional<TimePoint>> previous_;
};

// The bindings and what is worked out from them once.
struct Bound {
  Bindings bindings;
  std::string owner_digits;  // the master number's full international digits; "" refuses everyone
  std::shared_ptr<Clock> clock;
  std::shared_ptr<RefusalLog> refusals = std::make_shared<RefusalLog>();  // fresh with every bind
  std::shared_ptr<OtherAnswers> other_answers = std::make_shared<OtherAnswers>();
  std::vector<std::string> host_names;  // allowed Host names besides the loopback ones
};

// An allowed-host entry as host::name_of gives names: "Example.com:80" ->
// "example.com", "[fe80::1]" and "fe80::1" -> "fe80::1".
std::optional<std::string> allowed_name(const std::string& entry) {
  if (std::count(entry.begin(), entry.end(), ':') > 1 && entry.front() != '[')
    return host::name_of("[" + entry + "]");
  return host::name_of(entry);
}

bool is_guarded_path(std::string_view path) {
  return path.rfind("/whatsapp/", 0) == 0 || path.rfind("/internal/", 0) == 0;
}

// Equal texts, in a time that depends only on the length of `expected`.
bool same_secret(std::string_view given, std::string_view expected) {
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i)
    diff |= static_cast<unsigned char>((i < given.size() ? given[i] : 0) ^ expected[i]);
  return diff == 0;
}

bool bearer_matches(const std::optional<std::string>& authorization, const std::string& token) {
  if (!authorization || authorization->size() < 7 || strncasecmp(authorization->c_str(), "Bearer ", 7) != 0)
    return false;
  return same_secret(std::string_view(*authorization).substr(7), token);
}

Bound unbound() {
  Bound nothing;
  nothing.clock = system_clock();
  return nothing;
}
// The routes run on several event loops at once; reading the bindings costs
// them one atomic load (see support/bound.hpp).
talmo::Bound<Bound> g_bound{unbound()};

// The current bindings; the reference stays valid on this thread until its
// next call to bound() after a bind.
const std::shared_ptr<const Bound>& bound() { return g_bound.get(); }

json status_only(const char* status) { return json{{"status", status}}; }
json ignored(const char* reason) { return json{{"status", "ignored"}, {"reason", reason}}; }
json error_body(const std::string& message) {
  return json{{"status", "error"}, {"message", message}};
}

// The owner check of both webhooks; a stranger is logged (rate-limited).
bool owner_or_logged(std::string_view sender, const Bound& b) {
  const TimePoint now = b.clock->now();
  if (sender_is(sender, b.owner_digits)) {
    b.refusals->tick(now);
    return true;
  }
  b.refusals->refused(sender, b.owner_digits, now);
  return false;
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

Answer audio_answer(const AudioRequest& request, const Bound& bound) {
  const Bindings& b = bound.bindings;
  const std::string& sender = request.sender;
  if (sender.empty()) return {200, ignored("Missing X-Sender header")};
  log::debug("Webhook /whatsapp/incoming/audio: sender " + json_text(json(sender)) + ", " +
             (request.content_length ? std::to_string(*request.content_length) + " bytes" : "length not declared"));
  if (!owner_or_logged(sender, bound)) return {200, status_only("unauthorized")};
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
  b.enqueue_conversation(sender, with_quote(header_text(request.quoted), transcript));
  return {200, status_only("received")};
}

Answer text_answer(std::string_view body, const Bound& bound, bool may_block) {
  const Bindings& b = bound.bindings;
  json data = decode_json(body);
  if (!data.is_object()) throw std::runtime_error("the request body must be a JSON object");
  json sender = data.contains("sender") ? data["sender"] : json("");
  json message = data.contains("message") ? data["message"] : json("");
  if (is_empty_value(sender) || is_empty_value(message)) {
    return {200, ignored("Missing sender or message")};
  }
  // Queuing the owner's message may block: on the event loop it is handed
  // to a worker before anything is logged, so nothing is logged twice.
  if (!may_block && sender.is_string() && message.is_string() &&
      sender_is(sender.get_ref<const std::string&>(), bound.owner_digits))
    return web::run_on_worker();
  // Built only when someone reads it: strangers can send thousands a second.
  if (log::enabled(log::Level::debug))
    log::debug("Webhook /whatsapp/incoming/text: sender " + json_text(sender) + ", message of " +
               (message.is_string() ? std::to_string(unicode::length(message.get_ref<const std::string&>())) + " characters"
                                    : std::string(message.type_name())));
  if (!sender.is_string()) throw std::runtime_error("'sender' must be a JSON string");
  const std::string& from = sender.get_ref<const std::string&>();
  if (!owner_or_logged(from, bound)) return {200, status_only("unauthorized")};
  if (!message.is_string()) throw std::runtime_error("'message' must be a JSON string");
  const std::string& text = message.get_ref<const std::string&>();
  log::info("Processing text message from " + from + ": '" + unicode::first_chars(text, 30) +
            "...'");
  log::success("Verified Boss message. Handing off to AI...");
  if (!b.enqueue_conversation) throw std::runtime_error("no conversation runner is bound");
  // A reply carries the text it replies to; a `quoted` that is not a text is ignored.
  const json quoted = data.contains("quoted") ? data["quoted"] : json();
  b.enqueue_conversation(from, quoted.is_string() ? with_quote(quoted.get_ref<const std::string&>(), text) : text);
  return {200, status_only("received")};
}

// The kinds the bridge names; anything else is answered as "other".
constexpr std::array<std::string_view, 13> OTHER_KINDS = {
    "sticker", "video", "video_note", "gif", "poll", "event", "view_once",
    "audio", "image", "document", "document_too_large", "voice_note", "other"};

Answer other_answer(std::string_view body, const Bound& bound, bool may_block) {
  const Bindings& b = bound.bindings;
  json data = decode_json(body);
  if (!data.is_object()) throw std::runtime_error("the request body must be a JSON object");
  json sender = data.contains("sender") ? data["sender"] : json("");
  json kind = data.contains("kind") ? data["kind"] : json("");
  if (is_empty_value(sender) || is_empty_value(kind)) return {200, ignored("Missing sender or kind")};
  // Sending the answer is a durable write: done on a worker, and only there.
  if (!may_block && sender.is_string() && kind.is_string() &&
      sender_is(sender.get_ref<const std::string&>(), bound.owner_digits))
    return web::run_on_worker();
  if (!sender.is_string()) throw std::runtime_error("'sender' must be a JSON string");
  const std::string& from = sender.get_ref<const std::string&>();
  if (!owner_or_logged(from, bound)) return {200, status_only("unauthorized")};
  if (!kind.is_string()) throw std::runtime_error("'kind' must be a JSON string");
  const std::string& named = kind.get_ref<const std::string&>();
  const bool known = std::find(OTHER_KINDS.begin(), OTHER_KINDS.end(), named) != OTHER_KINDS.end();
  // Unknown kinds share one answer and one minute, so no sender can grow the table.
  const std::string key = known ? named : "other";
  if (!bound.other_answers->claim(key, bound.clock->now())) {
    log::info("Not answering the message of kind " + key + " from " + from +
              " again: the owner was told within the last minute that Talmo cannot read it");
    return {200, status_only("received")};
  }
  try {
    if (!b.send_notice) throw std::runtime_error("no sender for notices is bound");
    b.send_notice(from, messages::other_kind_message(key));
  } catch (...) {
    bound.other_answers->forget(key);
    throw;
  }
  log::info("Told " + from + " that Talmo cannot read a message of kind " +
            (known ? key : key + " (named " + json_text(json(unicode::first_chars(named, 40))) + ")"));
  return {200, status_only("received")};
}


}  // namespace

void bind(Bindings b) {
  Bound next;
  if (auto owner = phone::parse_international(b.master_number)) {
    next.owner_digits = owner->digits;
  } else {
    log::error("MASTER_NUMBER '" + b.master_number +
               "' is not a possible international number: every sender will be refused");
  }
  next.clock = b.clock ? b.clock : system_clock();
  for (const auto& entry : b.allowed_hosts)
    if (auto name = allowed_name(entry)) next.host_names.push_back(*name);
  next.bindings = std::move(b);
  g_bound.bind(std::move(next));
}

std::string with_quote(std::string_view quoted, std::string_view message) {
  if (unicode::trim(quoted).empty()) return std::string(message);
  return "[Replying to: \u201C" + unicode::first_chars(quoted, MAX_QUOTED_CHARS) + "\u201D]\n" +
         std::string(message);
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes that are not UTF-8 become U+FFFD.
std::string valid_utf8(std::string_view text) { return unicode::to_utf8(unicode::to_u32(text)); }

}  // namespace

std::string header_text(std::string_view value) {
  std::string decoded;
  decoded.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      decoded += value[i];
      continue;
    }
    const int high = i + 2 < value.size() ? hex_value(value[i + 1]) : -1;
    const int low = i + 2 < value.size() ? hex_value(value[i + 2]) : -1;
    if (high < 0 || low < 0) return valid_utf8(value);
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  std::string checked = valid_utf8(decoded);
  return checked == decoded ? decoded : valid_utf8(value);
}

bool is_owner(std::string_view sender, std::string_view master_number) {
  auto owner = phone::parse_international(master_number);
  return owner && sender_is(sender, owner->digits);
}

Answer handle_incoming_text_message(std::string_view body, bool may_block) {
  const auto& b = bound();  // nothing below calls bound() again
  try {
    return text_answer(body, *b, may_block);
  } catch (const std::exception& e) {
    log::error(std::string("Error processing WhatsApp bridge webhook: ") + e.what());
    return {200, error_body(e.what())};
  }
}

Answer handle_incoming_audio_message(const AudioRequest& request) {
  auto b = bound();
  try {
    return audio_answer(request, *b);
  } catch (const std::exception& e) {
    log::error(std::string("Error processing WhatsApp bridge audio webhook: ") + e.what());
    return {200, error_body(e.what())};
  }
}

Answer handle_incoming_other_message(std::string_view body, bool may_block) {
  const auto& b = bound();  // nothing below calls bound() again
  try {
    return other_answer(body, *b, may_block);
  } catch (const std::exception& e) {
    log::error(std::string("Error processing WhatsApp bridge webhook for other kinds: ") + e.what());
    return {200, error_body(e.what())};
  }
}

Answer get_internal_config(std::string_view peer_address) {
  // Every loopback address, as the Host rule takes them: a caller at
  // 127.0.0.2 is on this machine as surely as one at 127.0.0.1.
  if (!host::is_loopback(peer_address)) return {403, json{{"detail", "Forbidden"}}};
  auto b = bound();
  if (!b->bindings.read_internal_config) throw std::runtime_error("no configuration reader is bound");
  return {200, b->bindings.read_internal_config()};
}

bool streams_body(const web::Request& head) {
  return head.method == "POST" && (head.path == "/whatsapp/incoming/audio" || is_media_path(head.path));
}

std::optional<Answer> guard(const web::Request& request) {
  if (request.method == "GET" && request.path == "/healthz") return std::nullopt;
  const Bound* b = bound().get();
  const auto forbidden = [] { return Answer{403, json{{"detail", "Forbidden"}}}; };
  std::optional<std::string> name;
  // A repeated Host names no one server.
  if (request.headers.count("Host") == 1) name = host::name_of(request.headers.get("Host"));
  if (!name || (!host::is_loopback(*name) &&
                std::find(b->host_names.begin(), b->host_names.end(), *name) == b->host_names.end()))
    return forbidden();
  if (!is_guarded_path(request.path)) return std::nullopt;
  if (request.headers.has("Origin")) return forbidden();
  if (!b->bindings.bridge_token.empty()) {
    std::optional<std::string> authorization;
    if (request.headers.count("Authorization") == 1) authorization = request.headers.get("Authorization");
    if (!bearer_matches(authorization, b->bindings.bridge_token)) return Answer{401, json{{"detail", "Unauthorized"}}};
  }
  return std::nullopt;
}

Answer dispatch(const web::Request& request) {
  // The one door every request passes: a refused one runs no route and
  // leaves a streamed body unread.
  if (auto refusal = guard(request)) return *refusal;
  const std::string& method = request.method;
  const std::string& path = request.path;
  if (path == "/healthz" && method == "GET") return {200, json{{"status", "ok"}}};
  if (path == "/whatsapp/incoming/text" && method == "POST")
    return handle_incoming_text_message(request.body, request.on_worker);
  if (path == "/whatsapp/incoming/audio" && method == "POST") {
    AudioRequest audio;
    audio.sender = request.headers.get("X-Sender");
    audio.quoted = request.headers.get("X-Quoted");
    audio.content_length = request.content_length;
    audio.read_body = request.read_body;
    return handle_incoming_audio_message(audio);
  }
  if (path == "/whatsapp/incoming/other" && method == "POST")
    return handle_incoming_other_message(request.body, request.on_worker);
  if (path == "/internal/config" && method == "GET") return get_internal_config(request.peer_address);
  if (is_media_path(path) && method == "POST") return handle_media_request(request);
  return web::error_answer(404);
}

std::shared_ptr<const Bindings> internal::current_bindings() {
  std::shared_ptr<const Bound> b = bound();
  const Bindings* bindings = &b->bindings;
  return std::shared_ptr<const Bindings>(std::move(b), bindings);
}

bool internal::owner_or_logged(std::string_view sender) { return ingrest::owner_or_logged(sender, *bound()); }

}  // namespace talmo::ingrest
