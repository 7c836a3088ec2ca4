#include "whatsapp/sendwire/sendwire.hpp"

#include "support/bound.hpp"
#include "support/http.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "support/secrets.hpp"
#include "support/unicode.hpp"

#include <algorithm>
#include <memory>

namespace talmo::sendwire {

namespace {

constexpr long SEND_TIMEOUT_MS = 20000;
constexpr long PRESENCE_TIMEOUT_MS = 5000;
// Bodies of the bridge's error answers can be whole pages; the log keeps their start.
constexpr std::size_t ERROR_BODY_CHARS = 500;

struct Bridge {
  std::string url = "http://127.0.0.1:45051";
  std::string token;
};
Bound<Bridge> g_bridge;

// A call to the bridge, with the token when one is bound. The whole exchange,
// connection included, is bounded by one time-out.
http::Request bridge_request(const char* method, const char* path, long timeout_ms) {
  const std::shared_ptr<const Bridge> bridge = g_bridge.get();
  std::string url = bridge->url;
  const std::string& token = bridge->token;
  while (!url.empty() && url.back() == '/') url.pop_back();
  http::Request request;
  request.method = method;
  request.url = url + path;
  if (!token.empty()) request.headers.emplace_back("Authorization", "Bearer " + token);
  request.connect_timeout_ms = timeout_ms;
  request.timeout_ms = timeout_ms;
  request.max_response_bytes = MAX_ANSWER_BYTES;
  return request;
}

http::Response post(const char* path, const json& body, long timeout_ms) {
  http::Request request = bridge_request("POST", path, timeout_ms);
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = json_text(body);
  return http::perform(request);
}

}  // namespace

void bind(std::string bridge_url, std::string token) {
  secrets::set("bridge", {token});
  g_bridge.bind(Bridge{std::move(bridge_url), std::move(token)});
}

std::string chat_address(const std::string& number) {
  return unicode::digits_only(number) + CHAT_SUFFIX;
}

Outcome deliver(const std::string& number, const std::string& text, const std::string& id) {
  try {
    const std::string address = chat_address(number);
    json body = json::object();
    body["to"] = address;
    body["text"] = text;
    if (!id.empty()) body["id"] = id;
    http::Response response = post("/send", body, SEND_TIMEOUT_MS);
    if (!response.transport_ok) {
      log::error("Error calling WhatsApp bridge: " + response.error);
      return Outcome::retry;
    }
    if (response.status == 200) {
      log::success("Message delivered to " + address + " via WhatsApp bridge");
      return Outcome::delivered;
    }
    log::error("WhatsApp bridge returned status " + std::to_string(response.status) + ": " +
               unicode::first_chars(response.body, ERROR_BODY_CHARS));
    const bool later = response.status == 408 || response.status == 429 || response.status >= 500;
    return later ? Outcome::retry : Outcome::refused;
  } catch (const std::exception& e) {
    log::error(std::string("Error calling WhatsApp bridge: ") + e.what());
    return Outcome::retry;
  }
}

bool send_message(const std::string& number, const std::string& text) {
  return deliver(number, text) == Outcome::delivered;
}

bool set_typing(const std::string& number, bool is_typing) {
  try {
    json body = json::object();
    body["to"] = chat_address(number);
    body["state"] = is_typing ? "composing" : "paused";
    http::Response response = post("/presence", body, PRESENCE_TIMEOUT_MS);
    if (!response.transport_ok) {
      log::error("Error calling WhatsApp bridge presence: " + response.error);
      return false;
    }
    return response.status == 200;
  } catch (const std::exception& e) {
    log::error(std::string("Error calling WhatsApp bridge presence: ") + e.what());
    return false;
  }
}

void mark_as_read(const std::string& /*number*/) {}

BridgeStatus bridge_status() {
  BridgeStatus status;
  try {
    http::Response response = http::perform(bridge_request("GET", "/status", PRESENCE_TIMEOUT_MS));
    if (!response.transport_ok) {
      status.error = response.error;
      return status;
    }
    if (response.status != 200) {
      status.error = "status " + std::to_string(response.status);
      return status;
    }
    return parse_status(response.body);
  } catch (const std::exception& e) {
    status = BridgeStatus{};
    status.error = e.what();
  }
  return status;
}

BridgeStatus parse_status(std::string_view body) {
  BridgeStatus status;
  const json doc = decode_json(body, /*allow_exceptions=*/false);
  if (!doc.is_object()) {
    status.error = "an answer that is not a JSON object";
    return status;
  }
  status.reachable = true;
  status.connected = doc.value("connected", json(false)) == json(true);
  status.paired = doc.value("paired", json(false)) == json(true);
  // Only digits name an account; anything else is shown as unknown rather
  // than echoed into `talmo doctor`'s report.
  if (auto number = doc.find("number"); number != doc.end() && number->is_string()) {
    const auto& digits = number->get_ref<const std::string&>();
    if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      status.number = digits;
  }
  if (auto state = doc.find("state"); state != doc.end() && state->is_string()) status.state = *state;
  if (auto detail = doc.find("detail"); detail != doc.end() && detail->is_string()) status.detail = *detail;
  return status;
}

}  // namespace talmo::sendwire
