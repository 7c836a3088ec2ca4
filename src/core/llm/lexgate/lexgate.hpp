// The LLM gateway: Groq chat completion and Whisper transcription, rotating
// over the configured API keys.
#pragma once

#include "support/json.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::lexgate {

// Returned when no key is configured / when every key failed in one call.
extern const char* const NO_KEY_REPLY;
extern const char* const ALL_FAILED_REPLY;

// The largest answer read from Groq; a larger one fails that key's attempt
// (with a warning line) and is never held whole in memory.
inline constexpr std::size_t MAX_ANSWER_BYTES = 8u << 20;

// What one chat call cost: never any of the message content.
struct CallUsage {
  std::string model;
  std::string stage;  // the caller's Stage, or "other"
  bool ok = false;    // false: every key failed (a call with no key configured is not recorded)
  // The answer's usage member, as far as it gave them.
  std::optional<std::int64_t> prompt_tokens, completion_tokens, total_tokens;
};

// Names what the calls made on this thread while it is alive are for
// ("router", "worker", "summarizer", "reminder"); the previous name returns
// when it ends. Scopes nest.
class Stage {
 public:
  explicit Stage(const char* name);
  ~Stage();
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

 private:
  const char* previous_;
};

struct Settings {
  std::vector<std::string> api_keys;                     // GROQ_API_KEYS, in try order
  std::string model = "llama-3.3-70b-versatile";         // GROQ_MODEL
  std::string whisper_model = "whisper-large-v3-turbo";  // WHISPER_MODEL
  std::string vision_model = "meta-llama/llama-4-scout-17b-16e-instruct";  // VISION_MODEL
  std::string base_url = "https://api.groq.com/openai/v1";
  long chat_connect_timeout_ms = 10000;
  long chat_timeout_ms = 60000;
  long transcription_timeout_ms = 120000;
  // Called once per chat call that reached the service, on the calling
  // thread; an exception it throws is logged and does not change the answer.
  std::function<void(const CallUsage&)> record_usage;
};

// Binds the settings once at start-up and sets current_key_index to 0. The
// keys become secrets (secrets::set("groq", ...)), masked in every log line.
void bind(Settings settings);

// Sends `messages` (a JSON list of role/content maps) to the chat model,
// with configured secrets masked in every text content (secrets::mask).
// Returns the first choice's content exactly as received, nothing when the
// service gave null content, or NO_KEY_REPLY / ALL_FAILED_REPLY. Never throws
// because of the service or a key; throws std::invalid_argument when
// `messages` is not a list. Each key is tried at most once per call, starting
// at current_key_index; a key that fails (transport error, time-out, non-2xx,
// unusable body) is logged as a warning and the index moves past it for good.
// No log line holds a key or 8 characters of one, even when the service
// echoes it.
std::optional<std::string> get_response_with_system(const json& messages);

// Which configured model a call of complete() goes to.
enum class Model { chat, vision };

// What a call of complete() came to.
struct Completion {
  enum class Outcome {
    answered,   // `content` holds the model's answer (never blank)
    too_large,  // the request would have exceeded the caller's limit: nothing was sent
    failed,     // no key configured, every key failed, or the content was null or blank
  };
  Outcome outcome = Outcome::failed;
  std::string content;
};

// One chat completion for a caller that must tell a failure from an answer
// (a photo's description, a document's digest) instead of passing a fixed
// reply on. `messages` as for get_response_with_system, except that a
// content may also be a list of parts: the text of a {"type": "text"} part is
// masked like any other text, every other part (an image's data URL) goes
// out as it stands. The body sent is {"model": <the model>, "messages": ...};
// when its JSON text would be longer than `max_request_bytes`, nothing is
// sent. Same keys and rotation as chat; the log lines name the call by
// `label` ("Key index 0 (Vision) failed: ...", "All Groq API keys failed for
// Vision."). Recorded under the caller's Stage. Throws
// std::invalid_argument when `messages` is not a list.
Completion complete(const json& messages, Model model, const std::string& label,
                    std::size_t max_request_bytes = SIZE_MAX);

// Transcribes the audio file at `audio_file_path`; the trimmed transcript, or
// "" on every failure (no key, every key failed, unreadable file). Same
// rotation as chat; an unreadable file counts as a failure of each key.
std::string transcribe_audio(const std::string& audio_file_path);

// The content of a chat-completion answer body: its text, or nothing for
// null content. Throws std::runtime_error saying what is wrong when the body
// is not JSON (nesting deeper than MAX_JSON_DEPTH counts as not JSON) or has
// no choices[0].message.content of text or null.
std::optional<std::string> parse_chat_answer(std::string_view body);

// The shared rotation index (chat and transcription); thread safe.
std::size_t current_key_index();
void set_current_key_index(std::size_t index);  // for tests

// What checking one key with the service found.
enum class KeyVerdict {
  works,        // the service answered 2xx
  refused,      // HTTP 401 or 403: the key is wrong or revoked
  unreachable,  // no HTTP answer at all (connection refused, time-out, bad address)
  unknown,      // any other status: nothing is known about the key
};

struct KeyCheck {
  KeyVerdict verdict = KeyVerdict::unknown;
  long status = 0;    // the HTTP status, when an answer came
  std::string error;  // unreachable: the HTTP client's description
  std::string body;   // the answer as received (works: the model list)
};

// A person waits for a key check at the prompt, so a silent network is given
// up on after 10 s in all, 5 s of them for the connection.
inline constexpr long KEY_CHECK_CONNECT_TIMEOUT_MS = 5000;
inline constexpr long KEY_CHECK_TIMEOUT_MS = 10000;

// Asks the service at `base_url` whether `key` works: one GET
// {base_url}/models with the key as Bearer token, within the time-outs
// above. Independent of bind(), since onboarding and doctor check keys that
// are not bound; the key is not logged. Never throws; thread safe.
KeyCheck check_key(const std::string& key, const std::string& base_url);

}  // namespace talmo::lexgate
