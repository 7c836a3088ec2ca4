// A model reply as the engine decodes it: cut the JSON out, parse it, build
// the router and worker shapes, and render the value both ways. Nothing here
// may crash or throw anything but a validation error.
#include "core/interpreter/interpreter.hpp"
#include "schema/schema.hpp"
#include "support/json.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const std::string cleaned = talmo::interpreter::clean_json_response(raw);
  // The engine's decoder: json::parse, refusing nesting too deep to render.
  const talmo::json value = talmo::decode_json(cleaned, /*allow_exceptions=*/false);
  if (value.is_discarded()) return 0;
  if (value.is_object()) {
    try {
      (void)talmo::schema::RouterResponse::from_json(value);
    } catch (const talmo::schema::ValidationError&) {
    }
    try {
      const auto reply = talmo::schema::AIResponse::from_json(value);
      for (const auto& action : reply.actions) (void)talmo::json_text(action.model_dump());
      (void)talmo::schema::to_string(reply.status);
    } catch (const talmo::schema::ValidationError&) {
    }
  }
  (void)talmo::json_text(value);
  (void)talmo::display_text(value);
  (void)talmo::type_description(value);
  (void)talmo::is_empty_value(value);
  return 0;
}
