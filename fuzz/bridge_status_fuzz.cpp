// The bridge's GET /status answer as the bridge client reads it. Nothing
// here may crash or throw.
#include "whatsapp/sendwire/sendwire.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  (void)talmo::sendwire::parse_status(body);
  return 0;
}
