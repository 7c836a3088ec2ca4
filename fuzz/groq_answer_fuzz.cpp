// A chat-completion answer from Groq as the gateway reads it: decoded with
// the depth limit, its content picked out. Nothing here may crash or throw
// anything but the documented std::runtime_error.
#include "core/llm/lexgate/lexgate.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    (void)talmo::lexgate::parse_chat_answer(body);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
