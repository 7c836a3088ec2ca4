// The engine bound to scripted collaborators for its tests: a gateway that
// answers from a queue and records every request, a recording bridge, and the
// shared in-memory stores and search (fakes.hpp) whose results the tests choose.
#pragma once

#include "core/interpreter/interpreter.hpp"
#include "support/log.hpp"
#include "testing/fakes.hpp"

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace talmo::testing {

// Everything the engine talks to, bound on construction.
struct Harness {
  FakeIdentity identity;
  FakeMemory memory;
  FakeRegistry registry;
  std::shared_ptr<FakeSearch> provider = std::make_shared<FakeSearch>();
  bool provider_available = true;
  bool bridge_down = false;  // set_typing throws, as a failing bridge call would

  std::deque<std::optional<std::string>> replies;  // the model's answers, in order
  std::vector<json> requests;                      // what the model was sent
  std::vector<std::pair<std::string, std::string>> sent;
  std::vector<std::size_t> stored_at_send;  // the number's history length at each send
  std::vector<std::pair<std::string, bool>> typing;
  std::string master = "+1 555 0100";

  explicit Harness(std::string master_number = "+1 555 0100") : master(std::move(master_number)) {
    log::set_stderr_enabled(false);
    rebind();
  }

  void rebind() {
    interpreter::Bindings b;
    b.get_response_with_system = [this](const json& messages) -> std::optional<std::string> {
      requests.push_back(messages);
      if (replies.empty()) throw std::runtime_error("the model was called more often than scripted");
      auto reply = replies.front();
      replies.pop_front();
      return reply;
    };
    b.send_message = [this](const std::string& number, const std::string& text) {
      sent.emplace_back(number, text);
      stored_at_send.push_back(memory.get_history(number).size());
      return true;
    };
    b.set_typing = [this](const std::string& number, bool on) {
      if (bridge_down) throw std::runtime_error("bridge unreachable");
      typing.emplace_back(number, on);
      return true;
    };
    b.identity_manager = &identity;
    b.memory_manager = &memory;
    b.schedules_manager = &registry;
    b.web_search_manager = [this]() -> std::shared_ptr<web_search::Provider> {
      return provider_available ? provider : nullptr;
    };
    // Marks the template so tests can tell which prompt a request used.
    b.format_prompt = [](std::string_view templ) { return "filled:" + std::string(templ); };
    b.master = master;
    interpreter::bind(std::move(b));
  }

  void reply(std::optional<std::string> text) { replies.push_back(std::move(text)); }

  std::vector<std::string> texts_sent() const {
    std::vector<std::string> out;
    for (const auto& s : sent) out.push_back(s.second);
    return out;
  }
};

}  // namespace talmo::testing
