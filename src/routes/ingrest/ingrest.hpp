// The inbound routes the bridge calls, as plain functions from request to
// answer, plus mounting them on an HTTP server.
#pragma once

#include "support/json.hpp"

#include <functional>
#include <string>
#include <string_view>

namespace httplib {
class Server;
}

namespace talmo::ingrest {

struct Bindings {
  std::string master_number;  // MASTER_NUMBER as configured, read once
  // Queues handle_conversation(number, message) to run after the answer.
  std::function<void(const std::string& number, const std::string& message)> enqueue_conversation;
  // lexgate::transcribe_audio in production.
  std::function<std::string(const std::string& path)> transcribe_audio;
  // Reads MASTER_NUMBER, GROQ_API_KEYS and TAVILY_API_KEY afresh from the
  // configuration source; the map in that key order.
  std::function<json()> read_internal_config;
};

void bind(Bindings bindings);

// The owner check: equal, or one ends with the other, where a suffix match
// needs at least 7 digits in the shorter number; a master number without
// digits matches nobody.
bool is_owner(std::string_view sender, std::string_view master_number);

struct Answer {
  int status = 200;
  json body;
};

// POST /whatsapp/incoming/text with the raw request body.
Answer handle_incoming_text_message(std::string_view body);

// Mounts POST /whatsapp/incoming/text, POST /whatsapp/incoming/audio and
// GET /internal/config on `server` (no path prefix).
void mount(httplib::Server& server);

}  // namespace talmo::ingrest
