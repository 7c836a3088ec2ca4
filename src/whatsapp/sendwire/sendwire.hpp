// The bridge client: messages and typing presence into the owner's chat.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <string>

namespace talmo::sendwire {

// The largest answer read from the bridge; a larger one fails the call
// (with a warning line) and is never held whole in memory.
inline constexpr std::size_t MAX_ANSWER_BYTES = 1u << 20;

// The personal-chat address suffix of the bridge's messaging network.
inline constexpr const char* CHAT_SUFFIX = "@s.whatsapp.net";

// Binds the bridge's base URL (BRIDGE_URL) and shared secret (BRIDGE_TOKEN)
// once at start-up. With a token, every call to the bridge carries
// "Authorization: Bearer <token>"; the token becomes a secret masked in logs.
void bind(std::string bridge_url, std::string token = "");

// Digits of `number` + CHAT_SUFFIX.
std::string chat_address(const std::string& number);

// POST /send {to, text} (20 s). True only on status 200; never throws.
bool send_message(const std::string& number, const std::string& text);

// What one POST /send came to.
enum class Outcome {
  delivered,  // status 200
  retry,      // no answer (refused, time-out, an answer over 1 MiB), 408, 429 or 5xx: worth trying later
  refused,    // any other status: the bridge will not take this message
};
// send_message's single attempt, with the same log lines, telling a
// failure worth retrying from a refusal. A non-empty `id` goes with it: the
// bridge sends a text with an id it already delivered only once, so every
// attempt at the same text carries the same id. The bridge answers 200 only
// once WhatsApp's server has the text, 504 when it did not confirm it in
// time (retry) and 422 when WhatsApp refused it (refused).
Outcome deliver(const std::string& number, const std::string& text, const std::string& id = "");
// POST /presence {to, state: composing|paused} (5 s). True only on 200.
bool set_typing(const std::string& number, bool is_typing);
// Accepted and ignored: the bridge marks messages read itself.
void mark_as_read(const std::string& number);

// What the bridge says about its WhatsApp connection.
struct BridgeStatus {
  bool reachable = false;  // the bridge answered 200 with a JSON object
  bool connected = false;  // WhatsApp is connected (only a JSON true counts)
  bool paired = false;
  std::optional<std::string> number;  // digits of the linked account, when known
  // What the connection is doing: "connecting", "unreachable",
  // "waiting_for_pairing", "connected", "logged_out", "replaced" or
  // "outdated"; "" when the bridge does not say (an older bridge).
  std::string state;
  std::optional<std::string> detail;  // the bridge's last error in short, when it gives one
  std::string error;                  // why it is not reachable, for a log line
};

// GET /status (5 s). Never throws: anything but a 200 answer with a JSON
// object is "not reachable", with `error` saying why.
BridgeStatus bridge_status();

// A 200 answer's body of GET /status as bridge_status() reads it: only a
// JSON object is "reachable" (nesting deeper than MAX_JSON_DEPTH is not).
BridgeStatus parse_status(std::string_view body);

}  // namespace talmo::sendwire
