// The prompt filler: turns a prompt template into the system message text.
#pragma once

#include "core/identity/identity.hpp"
#include "support/clock.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace talmo::utils {

struct PromptSources {
  identity::IdentityStore* identity = nullptr;  // must outlive the binding
  std::shared_ptr<Clock> clock;
  std::string timezone;  // IANA zone name, e.g. "Europe/Berlin"
};

// Binds the filler's sources once at start-up (tests rebind freely).
void bind(PromptSources sources);

// Fills, in one pass, the placeholders {bot_name}, {owner}, {tone},
// {response_type}, {current_date}, {current_time}, {extra_identity} and
// {PERSONA_BLOCK}; every other brace stays as it stands and inserted values
// are never scanned again.
std::string format_prompt(std::string_view templ);

}  // namespace talmo::utils
