// The bridge's text webhook on arbitrary request bodies: the route must
// answer every body with a status map and never crash, and its answer must
// always be writable as the server writes it.
#include "routes/ingrest/ingrest.hpp"
#include "support/log.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool setup() {
  talmo::log::set_stderr_enabled(false);
  talmo::ingrest::Bindings b;
  b.master_number = "+1 555 010 0123";
  b.enqueue_conversation = [](const std::string&, const std::string&) {};
  talmo::ingrest::bind(std::move(b));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = setup();
  (void)ready;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const talmo::ingrest::Answer answer = talmo::ingrest::handle_incoming_text_message(body);
  if (answer.status != 200 || !answer.body.is_object() || !answer.body.contains("status")) std::abort();
  // As the server writes it: bytes of a malformed body must not break the answer.
  (void)answer.body.dump(-1, ' ', false, talmo::json::error_handler_t::replace);
  return 0;
}
