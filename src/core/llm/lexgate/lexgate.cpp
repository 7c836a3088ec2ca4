#include "core/llm/lexgate/lexgate.hpp"

#include "support/bound.hpp"
#include "support/http.hpp"
#include "support/log.hpp"
#include "support/secrets.hpp"
#include "support/unicode.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <variant>

namespace talmo::lexgate {

const char* const NO_KEY_REPLY =
    R"({"status": "error", "reply": "Please configure a Groq API key to start chatting. Run \"talmo onboard\" to set it up.", "actions": [], "thought": "No API keys"})";
const char* const ALL_FAILED_REPLY =
    R"({"status": "error", "reply": "I am currently unable to connect to my language engine. Please try again shortly.", "actions": [], "thought": "All API keys failed"})";

namespace {

Bound<Settings> g_settings;

thread_local const char* t_stage = "other";

// Where the next call (chat or transcription) starts; shared by both.
std::atomic<std::size_t> g_key_index{0};

// A copy: a call holds its settings across the retries of every key.
std::shared_ptr<const Settings> settings() { return g_settings.get(); }

std::string endpoint(const std::string& base, const char* path) {
  std::string url = base;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + path;
}

// Moves the shared index past the key at `failed`, unless another call has
// already moved it elsewhere; a concurrent failure of the same key must not
// skip the next one.
void advance_past(std::size_t failed, std::size_t total) {
  std::size_t current = g_key_index.load();
  while (current % total == failed) {
    if (g_key_index.compare_exchange_weak(current, (failed + 1) % total)) return;
  }
}

// "HTTP <status>: <the service's error.message>", or the start of the body
// when the service gave no such message.
std::string http_error(const http::Response& response) {
  std::string detail;
  try {
    json doc = decode_json(response.body);
    if (doc.is_object() && doc.contains("error")) {
      const json& err = doc["error"];
      if (err.is_object() && err.contains("message") && err["message"].is_string())
        detail = err["message"].get<std::string>();
      else if (err.is_string())
        detail = err.get<std::string>();
    }
  } catch (const json::exception&) {
  }
  if (detail.empty()) detail = unicode::trim(unicode::first_chars(response.body, 200));
  detail = unicode::first_chars(detail, 300);
  std::string text = "HTTP " + std::to_string(response.status);
  if (!detail.empty()) text += ": " + detail;
  return text;
}

// The conversation with configured secrets masked in every text content: an
// action result can carry a service's error text that echoes a key. In a
// content made of parts only the text parts are masked: an image's base64
// must reach the model byte for byte.
json without_secrets(const json& messages) {
  json out = messages;
  for (auto& message : out) {
    if (!message.is_object()) continue;
    auto content = message.find("content");
    if (content == message.end()) continue;
    if (content->is_string()) {
      *content = secrets::mask(content->get_ref<const std::string&>());
    } else if (content->is_array()) {
      for (auto& part : *content) {
        if (!part.is_object() || part.value("type", "") != "text") continue;
        auto text = part.find("text");
        if (text != part.end() && text->is_string()) *text = secrets::mask(text->get_ref<const std::string&>());
      }
    }
  }
  return out;
}

struct Failure {
  std::string text;
};

struct Answer {
  std::optional<std::string> content;
  std::optional<std::int64_t> prompt_tokens, completion_tokens, total_tokens;
};

std::optional<std::int64_t> token_count(const json& usage, const char* name) {
  if (!usage.is_object()) return std::nullopt;
  auto it = usage.find(name);
  if (it == usage.end() || !it->is_number_integer()) return std::nullopt;
  const std::int64_t n = it->get<std::int64_t>();
  if (n < 0) return std::nullopt;
  return n;
}

void record(const Settings& s, CallUsage usage) {
  if (!s.record_usage) return;
  try {
    s.record_usage(usage);
  } catch (const std::exception& e) {
    log::error(std::string("Could not record token usage: ") + e.what());
  }
}

http::Request authorised_post(const std::string& url, const std::string& key) {
  http::Request request;
  request.method = "POST";
  request.url = url;
  request.headers.emplace_back("Authorization", "Bearer " + key);
  return request;
}

// The first choice's content (nothing for null) and the token counts of the
// `usage` member; throws std::runtime_error saying what is wrong with `body`.
Answer parse_answer(std::string_view body) {
  json doc;
  try {
    doc = decode_json(body);
  } catch (const json::exception&) {
    throw std::runtime_error("the response is not valid JSON");
  }
  const json* content = nullptr;
  if (doc.is_object() && doc.contains("choices") && doc["choices"].is_array() && !doc["choices"].empty()) {
    const json& choice = doc["choices"][0];
    if (choice.is_object() && choice.contains("message") && choice["message"].is_object() &&
        choice["message"].contains("content"))
      content = &choice["message"]["content"];
  }
  if (!content) throw std::runtime_error("the response has no choices[0].message.content");
  if (!content->is_null() && !content->is_string())
    throw std::runtime_error("choices[0].message.content is neither text nor null");
  Answer answer;
  if (content->is_string()) answer.content = content->get<std::string>();
  if (auto usage = doc.find("usage"); usage != doc.end()) {
    answer.prompt_tokens = token_count(*usage, "prompt_tokens");
    answer.completion_tokens = token_count(*usage, "completion_tokens");
    answer.total_tokens = token_count(*usage, "total_tokens");
  }
  return answer;
}

// One chat attempt with one key: the content (or nothing for null content)
// with the reported token counts, or why the key failed.
std::variant<Answer, Failure> chat_attempt(const Settings& s,
                                                               const std::string& key,
                                                               const std::string& body) {
  http::Request request = authorised_post(endpoint(s.base_url, "/chat/completions"), key);
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = body;
  request.connect_timeout_ms = s.chat_connect_timeout_ms;
  request.timeout_ms = s.chat_timeout_ms;
  request.max_response_bytes = MAX_ANSWER_BYTES;

  http::Response response = http::perform(request);
  if (!response.transport_ok) return Failure{response.error};
  if (response.status < 200 || response.status >= 300) return Failure{http_error(response)};

  try {
    return parse_answer(response.body);
  } catch (const std::runtime_error& e) {
    return Failure{e.what()};
  }
}

// The whole file in one piece, or the reason it could not be read.
std::variant<std::string, Failure> read_file(const std::string& path) {
  auto failure = [&path](int err) {
    return Failure{"cannot read audio file '" + path + "': " +
                   std::error_code(err, std::generic_category()).message()};
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failure(errno);
  std::string data;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return failure(err);
    }
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

std::variant<std::string, Failure> transcription_attempt(const Settings& s, const std::string& key,
                                                         const std::string& path) {
  auto file = read_file(path);
  if (auto* f = std::get_if<Failure>(&file)) return *f;

  http::Request request = authorised_post(endpoint(s.base_url, "/audio/transcriptions"), key);
  std::string filename = std::filesystem::path(path).filename().string();
  request.mime.push_back({"file", std::move(std::get<std::string>(file)), filename});
  request.mime.push_back({"model", s.whisper_model, ""});
  request.mime.push_back({"response_format", "text", ""});
  request.connect_timeout_ms = s.chat_connect_timeout_ms;
  request.timeout_ms = s.transcription_timeout_ms;
  request.max_response_bytes = MAX_ANSWER_BYTES;

  http::Response response = http::perform(request);
  if (!response.transport_ok) return Failure{response.error};
  if (response.status < 200 || response.status >= 300) return Failure{http_error(response)};
  return unicode::trim(response.body);
}

}  // namespace

Stage::Stage(const char* name) : previous_(t_stage) { t_stage = name; }
Stage::~Stage() { t_stage = previous_; }

void bind(Settings s) {
  // Services echo keys in their error texts; the log masks them.
  secrets::set("groq", s.api_keys);
  g_settings.bind(std::move(s));
  g_key_index = 0;
}

std::size_t current_key_index() { return g_key_index.load(); }
void set_current_key_index(std::size_t index) { g_key_index = index; }

std::optional<std::string> get_response_with_system(const json& messages) {
  if (!messages.is_array())
    throw std::invalid_argument("get_response_with_system: messages must be a list");

  auto s = settings();
  const auto& keys = s->api_keys;
  if (keys.empty()) {
    log::error("No Groq API keys configured.");
    return std::string(NO_KEY_REPLY);
  }

  json request = json::object();
  request["model"] = s->model;
  request["messages"] = without_secrets(messages);
  const std::string body = json_text(request);

  const std::size_t total_keys = keys.size();
  std::size_t index = g_key_index.load() % total_keys;
  for (std::size_t attempts = 0; attempts < total_keys; ++attempts) {
    auto outcome = chat_attempt(*s, keys[index], body);
    if (auto* answer = std::get_if<Answer>(&outcome)) {
      record(*s, {s->model, t_stage, true, answer->prompt_tokens, answer->completion_tokens, answer->total_tokens});
      return answer->content;
    }
    log::warning("Key index " + std::to_string(index) + " (Chat) failed: " +
                 std::get<Failure>(outcome).text);
    advance_past(index, total_keys);
    index = (index + 1) % total_keys;
  }
  log::error("All Groq API keys failed for Chat.");
  record(*s, {s->model, t_stage, false, std::nullopt, std::nullopt, std::nullopt});
  return std::string(ALL_FAILED_REPLY);
}

Completion complete(const json& messages, Model model, const std::string& label, std::size_t max_request_bytes) {
  if (!messages.is_array()) throw std::invalid_argument("complete: messages must be a list");

  auto s = settings();
  const auto& keys = s->api_keys;
  const std::string& model_name = model == Model::vision ? s->vision_model : s->model;
  json request = json::object();
  request["model"] = model_name;
  request["messages"] = without_secrets(messages);
  const std::string body = json_text(request);
  if (body.size() > max_request_bytes) return {Completion::Outcome::too_large, ""};
  if (keys.empty()) {
    log::error("No Groq API keys configured.");
    return {};
  }

  const std::size_t total_keys = keys.size();
  std::size_t index = g_key_index.load() % total_keys;
  for (std::size_t attempts = 0; attempts < total_keys; ++attempts) {
    auto outcome = chat_attempt(*s, keys[index], body);
    if (auto* answer = std::get_if<Answer>(&outcome)) {
      record(*s, {model_name, t_stage, true, answer->prompt_tokens, answer->completion_tokens, answer->total_tokens});
      // The key worked; an empty answer is still no answer, and asking the
      // next key the same question would cost tokens for nothing better.
      if (!answer->content || unicode::trim(*answer->content).empty()) {
        log::warning("The " + label + " answer was empty.");
        return {};
      }
      return {Completion::Outcome::answered, *answer->content};
    }
    log::warning("Key index " + std::to_string(index) + " (" + label + ") failed: " +
                 std::get<Failure>(outcome).text);
    advance_past(index, total_keys);
    index = (index + 1) % total_keys;
  }
  log::error("All Groq API keys failed for " + label + ".");
  record(*s, {model_name, t_stage, false, std::nullopt, std::nullopt, std::nullopt});
  return {};
}

std::string transcribe_audio(const std::string& audio_file_path) {
  auto s = settings();
  const auto& keys = s->api_keys;
  if (keys.empty()) {
    log::error("No Groq API keys configured for transcription.");
    return "";
  }

  const std::size_t total_keys = keys.size();
  std::size_t index = g_key_index.load() % total_keys;
  for (std::size_t attempts = 0; attempts < total_keys; ++attempts) {
    auto outcome = transcription_attempt(*s, keys[index], audio_file_path);
    if (auto* text = std::get_if<std::string>(&outcome)) return *text;
    log::warning("Key index " + std::to_string(index) + " (Whisper) failed: " +
                 std::get<Failure>(outcome).text);
    advance_past(index, total_keys);
    index = (index + 1) % total_keys;
  }
  log::error("All Groq API keys failed for Whisper.");
  return "";
}

std::optional<std::string> parse_chat_answer(std::string_view body) { return parse_answer(body).content; }

// Whether a key works is asked of the model list: the cheapest call that
// needs a valid key.
KeyCheck check_key(const std::string& key, const std::string& base_url) {
  http::Request req;
  req.method = "GET";
  req.url = endpoint(base_url, "/models");
  req.headers = {{"Authorization", "Bearer " + key}};
  req.connect_timeout_ms = KEY_CHECK_CONNECT_TIMEOUT_MS;
  req.timeout_ms = KEY_CHECK_TIMEOUT_MS;
  http::Response res = http::perform(req);

  KeyCheck check;
  check.status = res.status;
  check.body = std::move(res.body);
  if (!res.transport_ok) {
    check.verdict = KeyVerdict::unreachable;
    check.error = std::move(res.error);
  } else if (res.status >= 200 && res.status < 300) {
    check.verdict = KeyVerdict::works;
  } else if (res.status == 401 || res.status == 403) {
    check.verdict = KeyVerdict::refused;
  }
  return check;
}

}  // namespace talmo::lexgate
