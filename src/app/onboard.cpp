#include "app/onboard.hpp"

#include "app/greeting.hpp"
#include "app/serve.hpp"

#include "core/identity/identity.hpp"
#include "core/llm/lexgate/lexgate.hpp"
#include "core/prompts/messages/messages.hpp"
#include "core/utils/format_prompt.hpp"
#include "support/db.hpp"
#include "support/json.hpp"
#include "support/phone.hpp"
#include "support/program.hpp"
#include "support/tz.hpp"
#include "support/unicode.hpp"

#include <sys/random.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <iostream>
#include <stdexcept>

namespace talmo::app {

namespace {

// The input ended before every answer was given.
struct Cancelled {};

// A flag value that cannot be used; the message says which and why.
struct InvalidFlag : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Answers {
  std::string master_number;
  std::vector<std::string> groq_keys;
  std::string tavily_key;
  std::string bot_name, owner, tone, response_type, timezone;
};

bool has_control(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// Each check answers "" for a good value, else what is wrong with it.
std::string check_master(const std::string& v) {
  if (v.empty()) return "the master number is needed";
  if (has_control(v)) return "the master number must be one line of text";
  if (!phone::parse_international(v))
    return "\"" + v + "\" " + phone::NOT_INTERNATIONAL;
  return "";
}
// What makes a number that libphonenumber accepts doubtful, or "" when
// nothing does: digits not in use in its country ("+49 151"), or plain digits
// only taken to start with a country code ("151 23456789" reads as a US number).
std::string number_doubt(const phone::International& n) {
  const std::string country = n.country_name.empty() ? "its country code" : n.country_name;
  if (!n.valid) return n.formatted + " is not a valid number for its country (" + country + ")";
  if (!n.marked)
    return "it was written without + or 00, so its first digits were taken as the country code +" +
           std::to_string(n.country_code) + " (" + country + ")";
  return "";
}
std::string check_key(const std::string& v) {
  if (v.empty()) return "a key cannot be empty";
  for (unsigned char c : v)
    if (c <= 0x20 || c == 0x7f || c == ',') return "a key cannot hold blanks, commas or control characters";
  return "";
}
std::string check_text(const std::string& what, const std::string& v) {
  if (v.empty()) return what + " cannot be empty";
  if (has_control(v)) return what + " must be one line of text";
  return "";
}
std::string check_zone(const std::string& v) {
  if (!tz::is_valid_zone(v)) return "unknown time zone \"" + v + "\" (use an IANA name such as Europe/Berlin)";
  return "";
}

std::optional<std::string> read_hidden_from_terminal(std::istream& in) {
  const bool tty = &in == &std::cin && ::isatty(STDIN_FILENO);
  termios saved{};
  if (tty && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  bool ok = static_cast<bool>(std::getline(in, line));
  if (tty) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cout << std::endl;
  }
  if (!ok) return std::nullopt;
  return line;
}

class Dialog {
 public:
  explicit Dialog(OnboardTerminal& t) : t_(t) {
    if (!t_.read_hidden) t_.read_hidden = read_hidden_from_terminal;
  }

  // Asks until `check` accepts; an empty answer takes `fallback` (when any).
  std::string ask(const std::string& question, const std::string& fallback,
                  const std::function<std::string(const std::string&)>& check, bool hidden = false) {
    for (;;) {
      t_.out << question;
      if (!fallback.empty() && !hidden) t_.out << " [" << fallback << "]";
      t_.out << ": " << std::flush;
      std::optional<std::string> line;
      if (hidden) {
        line = t_.read_hidden(t_.in);
      } else {
        std::string l;
        if (std::getline(t_.in, l)) line = l;
      }
      if (!line) throw Cancelled{};
      std::string answer = unicode::trim(*line);
      if (answer.empty()) answer = fallback;
      std::string problem = check(answer);
      if (problem.empty()) return answer;
      t_.out << "  " << problem << "; please try again." << std::endl;
    }
  }

  // Asks a yes/no question, "yes" on Enter; asks again for any other answer.
  bool confirm(const std::string& question) {
    for (;;) {
      t_.out << question << " [Y/n]: " << std::flush;
      std::string line;
      if (!std::getline(t_.in, line)) throw Cancelled{};
      const std::string answer = unicode::trim(line);
      if (answer.empty() || answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes") return true;
      if (answer == "n" || answer == "N" || answer == "no" || answer == "No") return false;
      t_.out << "  Please answer y or n." << std::endl;
    }
  }

  std::ostream& out() { return t_.out; }

 private:
  OnboardTerminal& t_;
};

// Takes a flag's value when it is given and valid. Without --yes an invalid or
// missing one is asked for; with --yes it is an error.
std::string settle(Dialog& dialog, bool yes, const std::string& flag,
                   const std::optional<std::string>& given, const std::string& question,
                   const std::string& fallback, const std::function<std::string(const std::string&)>& check) {
  if (given) {
    std::string v = unicode::trim(*given);
    if (v.empty()) v = fallback;
    std::string problem = check(v);
    if (problem.empty()) return v;
    if (yes) throw InvalidFlag(flag + ": " + problem);
    dialog.out() << flag << ": " << problem << std::endl;
  } else if (yes) {
    if (fallback.empty() || !check(fallback).empty()) throw InvalidFlag(flag + " is required with --yes");
    return fallback;
  }
  return dialog.ask(question, fallback, check);
}

// Asks for keys until an empty line. With `configured` keys, an empty first
// answer keeps them.
std::vector<std::string> ask_keys(Dialog& dialog, const std::vector<std::string>& configured = {}) {
  std::vector<std::string> keys;
  for (;;) {
    std::string hint = "; empty line when done)";
    if (keys.empty())
      hint = configured.empty() ? ")"
                                : "; Enter keeps the " + std::to_string(configured.size()) + " configured key" +
                                      (configured.size() == 1 ? ")" : "s)");
    std::string key = dialog.ask("Groq API key " + std::to_string(keys.size() + 1) + " (input hidden" + hint, "",
                                 [&](const std::string& v) {
                                   if (v.empty() && (!keys.empty() || !configured.empty())) return std::string();
                                   return check_key(v);
                                 },
                                 /*hidden=*/true);
    if (key.empty()) return keys.empty() ? configured : keys;
    keys.push_back(key);
  }
}

// The persona stored by an earlier onboarding, so that Enter keeps it; an
// empty map when there is none yet.
json existing_identity(const config::Config& current) {
  const std::filesystem::path file = current.data_dir / "talmo.db";
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return json::object();
  try {
    db::Database db(file.string());
    return identity::make_sqlite_store(db)->get_identity();
  } catch (const std::exception&) {
    return json::object();  // the write later reports what is wrong with the database
  }
}

std::string persona_value(const json& identity, const char* key, const char* fallback) {
  auto it = identity.find(key);
  if (it != identity.end() && it->is_string() && !it->get<std::string>().empty()) return it->get<std::string>();
  return fallback;
}

using lexgate::KeyVerdict;

// One check per key; an unreachable service stops the checks (offline),
// which is not the keys' fault: the keys not checked count as unknown.
std::vector<KeyVerdict> check_keys(const std::vector<std::string>& keys, const std::string& base_url,
                                   std::ostream& out) {
  std::vector<KeyVerdict> verdicts(keys.size(), KeyVerdict::unknown);
  // Said before the wait, so a slow network does not look like a hang.
  out << (keys.size() == 1 ? "Checking the key with Groq…" : "Checking the keys with Groq…") << std::endl;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const lexgate::KeyCheck check = lexgate::check_key(keys[i], base_url);
    const std::string name = "Groq key " + std::to_string(i + 1);
    switch (check.verdict) {
      case KeyVerdict::unreachable:
        out << "Warning: could not reach Groq to check the keys (" << check.error
            << "); they are saved unchecked." << std::endl;
        return verdicts;
      case KeyVerdict::works:
        out << "  " << name << " works." << std::endl;
        break;
      case KeyVerdict::refused:
        out << "  " << name << " was refused by Groq (HTTP " << check.status << ")." << std::endl;
        break;
      case KeyVerdict::unknown:
        out << "  " << name << " could not be checked (HTTP " << check.status << "); it is kept." << std::endl;
        break;
    }
    verdicts[i] = check.verdict;
  }
  return verdicts;
}

Answers gather(const OnboardFlags& flags, const config::Config& current, OnboardTerminal& terminal) {
  Dialog dialog(terminal);
  const bool yes = flags.yes;
  Answers a;
  if (!yes) dialog.out() << "Setting up Talmo. Press Enter to keep the value in brackets." << std::endl;
  const std::string number_question = "Your WhatsApp number with its country code (the master number)";
  a.master_number =
      settle(dialog, yes, "--master-number", flags.master_number, number_question, current.master_number, check_master);
  for (;;) {
    // The owner sees how the number was understood, and can spot a wrong country.
    const phone::International owner = *phone::parse_international(a.master_number);
    dialog.out() << "Owner number: " << phone::describe(owner) << std::endl;
    const std::string doubt = number_doubt(owner);
    if (yes) {
      if (!doubt.empty() && !flags.accept_number)
        throw InvalidFlag("--master-number: " + doubt + "; check it, or add --accept-number to take it as it is");
      break;
    }
    if (!doubt.empty()) dialog.out() << "  Note: " << doubt << "." << std::endl;
    if (dialog.confirm("Is this right?")) break;
    a.master_number = dialog.ask(number_question, "", check_master);
  }

  for (const auto& k : flags.groq_keys) {
    std::string key = unicode::trim(k);
    if (std::string problem = check_key(key); !problem.empty()) {
      if (yes) throw InvalidFlag("--groq-key: " + problem);
      dialog.out() << "--groq-key: " << problem << std::endl;
      continue;
    }
    a.groq_keys.push_back(key);
  }
  if (a.groq_keys.empty()) {
    if (yes && current.groq_api_keys.empty())
      throw InvalidFlag("--groq-key is required with --yes (repeat it for several keys)");
    a.groq_keys = yes ? current.groq_api_keys : ask_keys(dialog, current.groq_api_keys);
  }
  if (!flags.no_check) {
    for (;;) {
      auto verdicts = check_keys(a.groq_keys, current.groq_base_url, dialog.out());
      std::vector<std::string> kept;
      for (std::size_t i = 0; i < a.groq_keys.size(); ++i) {
        if (verdicts[i] != KeyVerdict::refused) {
          kept.push_back(a.groq_keys[i]);
        } else if (yes) {
          throw InvalidFlag("--groq-key: Groq key " + std::to_string(i + 1) + " was refused by Groq");
        }
      }
      if (!kept.empty()) {
        a.groq_keys = kept;
        break;
      }
      dialog.out() << "No key works; please enter another." << std::endl;
      a.groq_keys = ask_keys(dialog);
    }
  }

  if (flags.tavily_key || yes) {
    a.tavily_key = unicode::trim(flags.tavily_key.value_or(""));
    if (!a.tavily_key.empty())
      if (std::string p = check_key(a.tavily_key); !p.empty()) {
        if (yes) throw InvalidFlag("--tavily-key: " + p);
        a.tavily_key = "";
      }
  }
  if (!yes && a.tavily_key.empty()) {
    const bool configured = !current.tavily_api_key.empty();
    a.tavily_key = dialog.ask(std::string("Tavily API key for web search (input hidden; ") +
                                  (configured ? "Enter keeps the configured key)" : "empty line to skip)"),
                              "", [](const std::string& v) { return v.empty() ? std::string() : check_key(v); },
                              /*hidden=*/true);
    if (a.tavily_key.empty()) a.tavily_key = current.tavily_api_key;
  }

  auto text = [](const std::string& what) {
    return [what](const std::string& v) { return check_text(what, v); };
  };
  const json persona = existing_identity(current);
  a.bot_name = settle(dialog, yes, "--bot-name", flags.bot_name, "The assistant's name",
                      persona_value(persona, "bot_name", "Talmo"), text("the assistant's name"));
  a.owner = settle(dialog, yes, "--owner", flags.owner, "How the assistant addresses you",
                   persona_value(persona, "owner", "Boss"), text("the form of address"));
  a.tone = settle(dialog, yes, "--tone", flags.tone, "Tone", persona_value(persona, "tone", "Professional"),
                  text("the tone"));
  a.response_type = settle(dialog, yes, "--response-type", flags.response_type, "Response type",
                           persona_value(persona, "response_type", "Concise"), text("the response type"));
  a.timezone = settle(dialog, yes, "--timezone", flags.timezone, "Time zone",
                      current.timezone.empty() ? tz::local_zone_name() : current.timezone, check_zone);
  return a;
}

}  // namespace

std::string new_bridge_token() {
  unsigned char bytes[32];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("cannot draw a random bridge token: ") + std::strerror(errno));
    }
    got += static_cast<std::size_t>(n);
  }
  static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (unsigned char byte : bytes) {
    acc = (acc << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += ALPHABET[(acc >> bits) & 0x3f];
    }
  }
  if (bits > 0) out += ALPHABET[(acc << (6 - bits)) & 0x3f];
  return out;
}

int onboard(const OnboardFlags& flags, const config::Environment& env, OnboardTerminal terminal) {
  // The present configuration: a broken file or environment is reported
  // before any question, and the file is never overwritten blindly.
  config::Config current;
  try {
    current = config::load(flags.config_path, env);
  } catch (const config::ConfigError& e) {
    terminal.err << "talmo: " << e.what() << std::endl;
    return 2;
  }

  Answers a;
  try {
    a = gather(flags, current, terminal);
  } catch (const InvalidFlag& e) {
    terminal.err << "talmo onboard: " << e.what() << "; nothing was written." << std::endl;
    return 2;
  } catch (const Cancelled&) {
    terminal.err << "talmo onboard: the input ended before set-up was complete; nothing was written."
                 << std::endl;
    return 1;
  }

  json settings = json::object();
  settings["MASTER_NUMBER"] = a.master_number;
  settings["GROQ_API_KEYS"] = a.groq_keys;
  if (!a.tavily_key.empty()) settings["TAVILY_API_KEY"] = a.tavily_key;
  settings["TALMO_TIMEZONE"] = a.timezone;
  // The bridge and Talmo share this secret through the configuration; a
  // token already set is kept, so a running bridge stays in step, unless it
  // is too short to be safe (both sides refuse it, and both read this file).
  const bool short_token =
      !current.bridge_token.empty() && current.bridge_token.size() < config::MIN_BRIDGE_TOKEN;
  const bool new_token = current.bridge_token.empty() || short_token;
  if (new_token) {
    try {
      settings["BRIDGE_TOKEN"] = new_bridge_token();
    } catch (const std::exception& e) {
      terminal.err << "talmo onboard: " << e.what() << "; nothing was written." << std::endl;
      return 1;
    }
  }

  config::Config updated;
  try {
    config::write_settings(current.config_file, settings);
    terminal.out << "Configuration written to " << current.config_file.string() << "." << std::endl;
    if (short_token)
      terminal.out << "The BRIDGE_TOKEN was shorter than " << config::MIN_BRIDGE_TOKEN
                   << " characters: a new random one was written there; restart the bridge to use it."
                   << std::endl;
    else if (new_token)
      terminal.out << "A new BRIDGE_TOKEN was written there for the bridge." << std::endl;
    updated = config::load(current.config_file, env);

    create_data_folder(updated.data_dir);
    db::Database db((updated.data_dir / "talmo.db").string());
    auto identity = identity::make_sqlite_store(db);
    identity->update_identity(json{{"bot_name", a.bot_name},
                                   {"owner", a.owner},
                                   {"tone", a.tone},
                                   {"response_type", a.response_type}});
    terminal.out << "Identity saved in " << (updated.data_dir / "talmo.db").string() << "." << std::endl;

    utils::bind(utils::PromptSources{identity.get(), system_clock(), updated.timezone});
    // The bridge is usually not paired yet: `talmo serve` sends the greeting
    // once WhatsApp is connected.
    greeting::keep(db, utils::format_prompt(messages::FIRST_MESSAGE_TEMPLATE));
    terminal.out << "Your greeting will be sent to " << updated.master_number
                 << " as soon as WhatsApp is connected." << std::endl;
  } catch (const std::exception& e) {
    terminal.err << "talmo onboard: " << e.what() << std::endl;
    return 1;
  }
  terminal.out << next_step(current.config_file, env("TALMO_SERVE_NEXT").value_or("") == "1") << std::endl;
  return 0;
}

std::string next_step(const std::filesystem::path& config_file, bool serve_next) {
  // `make run` starts Talmo and the bridge right after onboarding.
  if (serve_next) return "Talmo is set up. Talmo and the bridge start next.";
  // Run as the services' user, a `talmo serve` by hand would hold the port
  // the service needs; the services read the configuration only at start.
  if (config_file.lexically_normal().parent_path() == SERVICE_HOME)
    return "Talmo is set up. Start the services with `sudo systemctl enable --now talmo.service "
           "talmo-bridge.service` (if they run already: `sudo systemctl restart talmo talmo-bridge`).";
  return "Talmo is set up. Start it with `" + program::command("serve") + "`.";
}

}  // namespace talmo::app
