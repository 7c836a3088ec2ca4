// The worker's actions as the model may write them, run against in-memory
// stores. An action map never makes the executor throw: every failure is an
// "ERROR: ..." text. A list of maps runs them in order on the same stores, so
// the fuzzer can reach update and remove after an add. Afterwards both
// reports must render whatever the actions stored.
#include "core/identity/identity.hpp"
#include "core/interpreter/interpreter.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/web_search/web_search.hpp"
#include "support/clock.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "testing/fakes.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using talmo::json;

constexpr std::size_t MAX_ACTIONS = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (talmo::log::set_stderr_enabled(false), true);
  (void)quiet;
  // Actions reach the executor only through the engine's decoder.
  const json input = talmo::decode_json(std::string_view(reinterpret_cast<const char*>(data), size),
                                        /*allow_exceptions=*/false);
  if (input.is_discarded()) return 0;

  // 2025-06-01 12:00:00 UTC
  auto clock = std::make_shared<talmo::FakeClock>(talmo::TimePoint{std::chrono::seconds{1748779200}});
  auto identity = talmo::identity::make_memory_store();
  auto memory = talmo::memory::make_memory_memory(20);
  auto registry = talmo::schedules::make_memory_registry(clock, "UTC");
  // Checks its parameters as the real provider does and answers one result.
  auto provider = std::make_shared<talmo::testing::FakeSearch>();
  provider->respond = [](const json& params) -> std::pair<json, std::string> {
    if (params.contains("days")) return {nullptr, "rate limited"};
    return {json{{"answer", "42"}, {"results", json::array({json{{"title", "t"}, {"url", "u"}}})}}, ""};
  };

  talmo::interpreter::Bindings b;
  b.get_response_with_system = [](const json&) -> std::optional<std::string> { return std::nullopt; };
  b.send_message = [](const std::string&, const std::string&) { return true; };
  b.set_typing = [](const std::string&, bool) { return true; };
  b.identity_manager = identity.get();
  b.memory_manager = memory.get();
  b.schedules_manager = registry.get();
  b.web_search_manager = [provider]() -> std::shared_ptr<talmo::web_search::Provider> { return provider; };
  b.format_prompt = [](std::string_view templ) { return std::string(templ); };
  b.master = "+1 555 010 0123";
  talmo::interpreter::bind(std::move(b));

  if (input.is_object()) {
    (void)talmo::interpreter::execute_action(input);
  } else if (input.is_array()) {
    std::size_t run = 0;
    for (const json& action : input) {
      if (!action.is_object()) continue;
      if (run++ == MAX_ACTIONS) break;
      (void)talmo::interpreter::execute_action(action);
    }
  } else {
    return 0;
  }
  (void)talmo::interpreter::format_identity_report(identity->get_identity());
  (void)talmo::interpreter::format_schedules_report(registry->get_jobs());
  return 0;
}
