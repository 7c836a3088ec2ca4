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

// Binds the filler's sources once at start-up (tests rebind freely). An
// unset clock means the system clock, an empty zone the machine's own zone.
// Throws std::invalid_argument for a zone the tz database does not know, so a
// bad setting fails at start-up rather than in every conversation.
void bind(PromptSources sources);

// Fills, in one pass, the placeholders {bot_name}, {owner}, {tone},
// {response_type}, {current_date}, {current_time}, {extra_identity} and
// {PERSONA_BLOCK}; every other brace stays as it stands and inserted values
// are never scanned again.
//   {bot_name}, {owner}, {tone}, {response_type}: display text of the identity
//     value; when the key is missing "Talmo", "Boss", "Professional",
//     "Not set" (no identity store bound reads as an empty profile).
//   {current_date}: "Monday, 2026-12-07"; {current_time}: "23:41:38
//     (Europe/Berlin)"; both from the bound clock in the bound zone.
//   {extra_identity}: display text of the map of non-core entries ("{}").
//   {PERSONA_BLOCK}: the persona block filled with the same values.
// Failures of the identity store propagate.
std::string format_prompt(std::string_view templ);

}  // namespace talmo::utils
