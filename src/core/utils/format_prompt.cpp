#include "core/utils/format_prompt.hpp"

#include "core/prompts/templates/templates.hpp"
#include "support/bound.hpp"
#include "support/json.hpp"
#include "support/tz.hpp"

#include <array>
#include <stdexcept>
#include <utility>

namespace talmo::utils {
namespace {

Bound<PromptSources> sources;

// The values of one filling, gathered once per call so that every
// placeholder of one prompt sees the same profile and the same instant.
struct Values {
  std::string bot_name;
  std::string owner;
  std::string tone;
  std::string response_type;
  std::string current_date;
  std::string current_time;
  std::string extra_identity;
};

std::string text_or(const json& identity, const char* key, const char* fallback) {
  auto it = identity.find(key);
  return it == identity.end() ? std::string(fallback) : display_text(*it);
}

Values gather() {
  const std::shared_ptr<const PromptSources> held = sources.get();
  const PromptSources& src = *held;
  json identity = src.identity ? src.identity->get_identity() : json::object();
  if (!identity.is_object()) identity = json::object();

  Values v;
  v.bot_name = text_or(identity, "bot_name", "Talmo");
  v.owner = text_or(identity, "owner", "Boss");
  v.tone = text_or(identity, "tone", "Professional");
  v.response_type = text_or(identity, "response_type", "Not set");

  json extra = json::object();
  for (const auto& [key, value] : identity.items()) {
    if (!identity::is_core_key(key)) extra[key] = value;
  }
  v.extra_identity = display_text(extra);

  const std::shared_ptr<Clock> clock = src.clock ? src.clock : system_clock();
  const std::string zone = src.timezone.empty() ? tz::local_zone_name() : src.timezone;
  const TimePoint now = clock->now();
  v.current_date = tz::format(now, zone, "%A, %Y-%m-%d");
  v.current_time = tz::format(now, zone, "%H:%M:%S") + " (" + zone + ")";
  return v;
}

enum class Slot { BotName, Owner, Tone, ResponseType, CurrentDate, CurrentTime, ExtraIdentity, Persona };

constexpr std::array<std::pair<std::string_view, Slot>, 8> PLACEHOLDERS{{
    {"{bot_name}", Slot::BotName},
    {"{owner}", Slot::Owner},
    {"{tone}", Slot::Tone},
    {"{response_type}", Slot::ResponseType},
    {"{current_date}", Slot::CurrentDate},
    {"{current_time}", Slot::CurrentTime},
    {"{extra_identity}", Slot::ExtraIdentity},
    {"{PERSONA_BLOCK}", Slot::Persona},
}};

std::string fill(std::string_view templ, const Values& v);

void append_value(std::string& out, Slot slot, const Values& v) {
  switch (slot) {
    case Slot::BotName: out += v.bot_name; break;
    case Slot::Owner: out += v.owner; break;
    case Slot::Tone: out += v.tone; break;
    case Slot::ResponseType: out += v.response_type; break;
    case Slot::CurrentDate: out += v.current_date; break;
    case Slot::CurrentTime: out += v.current_time; break;
    case Slot::ExtraIdentity: out += v.extra_identity; break;
    // The persona block holds no {PERSONA_BLOCK}, so this recursion is one
    // level deep; its output is appended, never scanned again.
    case Slot::Persona: out += fill(templates::PERSONA_BLOCK, v); break;
  }
}

// One left-to-right pass: a brace that does not open one of the placeholders
// is copied as it stands, and inserted values are never scanned.
std::string fill(std::string_view templ, const Values& v) {
  std::string out;
  out.reserve(templ.size() + templ.size() / 8);
  std::size_t pos = 0;
  while (pos < templ.size()) {
    const std::size_t brace = templ.find('{', pos);
    if (brace == std::string_view::npos) {
      out.append(templ.substr(pos));
      break;
    }
    out.append(templ.substr(pos, brace - pos));
    const std::string_view rest = templ.substr(brace);
    bool matched = false;
    for (const auto& [token, slot] : PLACEHOLDERS) {
      if (rest.starts_with(token)) {
        append_value(out, slot, v);
        pos = brace + token.size();
        matched = true;
        break;
      }
    }
    if (!matched) {
      out.push_back('{');
      pos = brace + 1;
    }
  }
  return out;
}

}  // namespace

void bind(PromptSources s) {
  if (!s.timezone.empty() && !tz::is_valid_zone(s.timezone)) {
    throw std::invalid_argument("unknown time zone '" + s.timezone + "'");
  }
  sources.bind(std::move(s));
}

std::string format_prompt(std::string_view templ) { return fill(templ, gather()); }

}  // namespace talmo::utils
