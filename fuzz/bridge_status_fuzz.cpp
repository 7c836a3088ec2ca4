// The bridge's GET /status answer as the bridge client reads it. Nothing
// here may crash or throw; an answer that cannot be read says why, and never
// passes for a connected WhatsApp; a linked number is only ever digits.
#include "whatsapp/sendwire/sendwire.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const talmo::sendwire::BridgeStatus status = talmo::sendwire::parse_status(body);
  if (status.reachable == !status.error.empty()) std::abort();
  if (!status.reachable && (status.connected || status.paired || status.number)) std::abort();
  if (status.number && (status.number->empty() || status.number->find_first_not_of("0123456789") != std::string::npos))
    std::abort();
  return 0;
}
