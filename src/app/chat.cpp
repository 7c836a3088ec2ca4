#include "app/chat.hpp"

#include "app/serve.hpp"
#include "core/interpreter/interpreter.hpp"
#include "support/log.hpp"
#include "support/phone.hpp"
#include "support/program.hpp"
#include "support/unicode.hpp"

#include <iostream>
#include <string_view>

namespace talmo::app {

namespace {

// What a person at a terminal sees while the engine works; erased before the
// reply is printed over it.
constexpr std::string_view kTypingMark = "\x1b[2m… typing\x1b[0m";
constexpr std::string_view kEraseLine = "\r\x1b[K";
constexpr std::string_view kPrompt = "> ";

class Console {
 public:
  explicit Console(ChatConsole& c) : c_(c) {}

  bool send(const std::string& text) {
    clear_mark();
    c_.out << text << '\n' << std::flush;
    return static_cast<bool>(c_.out);
  }

  bool typing(bool on) {
    if (!c_.interactive) return true;
    if (on && !mark_shown_) {
      c_.out << kTypingMark << std::flush;
      mark_shown_ = true;
    } else if (!on) {
      clear_mark();
    }
    return true;
  }

  void clear_mark() {
    if (!mark_shown_) return;
    c_.out << kEraseLine << std::flush;
    mark_shown_ = false;
  }

  void prompt() {
    if (c_.interactive) c_.out << kPrompt << std::flush;
  }

 private:
  ChatConsole& c_;
  bool mark_shown_ = false;
};

}  // namespace

std::string console_number(const std::string& master_number) {
  if (auto owner = phone::parse_international(master_number)) return owner->digits;
  std::string digits = unicode::digits_only(master_number);
  return digits.empty() ? "console" : digits;
}

int chat(const std::optional<std::filesystem::path>& config_path, const config::Environment& env,
         ChatConsole console) {
  config::Config config;
  try {
    config = config::load(config_path, env);
  } catch (const config::ConfigError& e) {
    std::cerr << "talmo: " << e.what() << std::endl;
    return 2;
  }
  // The console is for replies; routine log lines would bury them.
  log::set_level(config.log_level_given ? config.log_level : log::Level::warning);
  if (!config.log_file.empty()) {
    try {
      log::Output output;
      output.json = config.log_json;
      output.file = config.log_file;
      output.file_size = config.log_file_size;
      output.file_count = config.log_file_count;
      log::configure(output);
    } catch (const std::exception& e) {
      std::cerr << "talmo: " << e.what() << std::endl;
      return 1;
    }
  }

  // The engine names the owner as `talmo serve` does.
  if (auto owner = phone::parse_international(config.master_number)) config.master_number = "+" + owner->digits;
  std::unique_ptr<Services> services;
  try {
    services = Services::open(config);
  } catch (const std::exception& e) {
    std::cerr << "talmo: cannot start: " << e.what() << std::endl;
    return 1;
  }

  Console out(console);
  interpreter::Bindings engine = services->engine_bindings();
  engine.send_message = [&out](const std::string&, const std::string& text) { return out.send(text); };
  engine.set_typing = [&out](const std::string&, bool on) { return out.typing(on); };
  interpreter::bind(std::move(engine));

  const std::string number = console_number(config.master_number);
  if (console.interactive)
    console.out << "Talmo chat: type a message and press Enter; Ctrl-D ends. /i shows the profile, /s the "
                   "task board.\nReminders are not sent here: `"
                << program::command("serve") << "` sends them.\n";
  out.prompt();

  std::string line;
  while (std::getline(console.in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Console input is not checked the way the bridge's JSON is: make it valid UTF-8.
    const std::string message = unicode::to_utf8(unicode::to_u32(line));
    if (!unicode::trim(message).empty()) {
      try {
        interpreter::handle_conversation(number, message);
      } catch (const std::exception& e) {
        log::error("Conversation for " + number + " failed: " + e.what());
      }
      out.clear_mark();
    }
    out.prompt();
  }
  if (console.interactive) console.out << '\n' << std::flush;
  return 0;
}

}  // namespace talmo::app
