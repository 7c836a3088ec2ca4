// Whether a Groq key works, asked of the model list: the cheapest call that
// needs a valid key.
#include "core/llm/lexgate/lexgate.hpp"

#include "support/http.hpp"

namespace talmo::lexgate {

KeyCheck check_key(const std::string& key, const std::string& base_url) {
  std::string url = base_url;
  while (!url.empty() && url.back() == '/') url.pop_back();  // as the chat calls build theirs
  http::Request req;
  req.method = "GET";
  req.url = url + "/models";
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
