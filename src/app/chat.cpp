#include "app/chat.hpp"

#include "app/serve.hpp"
#include "core/interpreter/interpreter.hpp"
#include "core/media/media.hpp"
#include "core/prompts/messages/media_notices.hpp"
#include "support/log.hpp"
#include "support/phone.hpp"
#include "support/program.hpp"
#include "support/unicode.hpp"

#include <fstream>
#include <iostream>
#include <sstream>
#include <string_view>

namespace talmo::app {

namespace {

// What a person at a terminal sees while the engine works; erased before the
// reply is printed over it.
constexpr std::string_view TYPING_MARK = "\x1b[2m… typing\x1b[0m";
constexpr std::string_view ERASE_LINE = "\r\x1b[K";
constexpr std::string_view PROMPT = "> ";

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
      c_.out << TYPING_MARK << std::flush;
      mark_shown_ = true;
    } else if (!on) {
      clear_mark();
    }
    return true;
  }

  void clear_mark() {
    if (!mark_shown_) return;
    c_.out << ERASE_LINE << std::flush;
    mark_shown_ = false;
  }

  void prompt() {
    if (c_.interactive) c_.out << PROMPT << std::flush;
  }

 private:
  ChatConsole& c_;
  bool mark_shown_ = false;
};

// The media type a file's name suggests; "" (left to the first bytes) when
// it suggests none.
std::string type_by_name(const std::filesystem::path& path) {
  static const std::pair<const char*, const char*> TYPES[] = {
      {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"},   {".png", "image/png"},   {".webp", "image/webp"},
      {".pdf", "application/pdf"}, {".txt", "text/plain"}, {".md", "text/markdown"},
      {".markdown", "text/markdown"}, {".csv", "text/csv"}, {".json", "application/json"}};
  const std::string extension = unicode::to_lower(path.extension().string());
  for (const auto& [ext, type] : TYPES)
    if (extension == ext) return type;
  return "";
}

const std::string& console_notice(bool photo, media::Reading::Outcome outcome) {
  using O = media::Reading::Outcome;
  switch (outcome) {
    case O::unsupported: return photo ? messages::PHOTO_UNSUPPORTED_NOTICE : messages::DOCUMENT_UNSUPPORTED_NOTICE;
    case O::too_large: return photo ? messages::PHOTO_TOO_LARGE_NOTICE : messages::DOCUMENT_TOO_LARGE_NOTICE;
    case O::no_text: return messages::DOCUMENT_NO_TEXT_NOTICE;
    case O::encrypted: return messages::DOCUMENT_ENCRYPTED_NOTICE;
    default: return photo ? messages::PHOTO_UNREADABLE_NOTICE : messages::DOCUMENT_UNREADABLE_NOTICE;
  }
}

}  // namespace

std::optional<MediaCommand> parse_media_command(const std::string& line) {
  MediaCommand command;
  std::string_view rest;
  if (line.rfind("/photo ", 0) == 0) {
    command.photo = true;
    rest = std::string_view(line).substr(7);
  } else if (line.rfind("/document ", 0) == 0) {
    rest = std::string_view(line).substr(10);
  } else {
    return std::nullopt;
  }
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  std::size_t end;
  if (!rest.empty() && rest.front() == '"') {
    end = rest.find('"', 1);
    if (end == std::string_view::npos) return std::nullopt;
    command.path = std::string(rest.substr(1, end - 1));
    ++end;
  } else {
    end = std::min(rest.find(' '), rest.size());
    command.path = std::string(rest.substr(0, end));
  }
  if (command.path.empty()) return std::nullopt;
  command.caption = unicode::trim(rest.substr(end));
  return command;
}

std::string console_number(const std::string& master_number) {
  if (auto owner = phone::parse_international(master_number)) return owner->digits;
  std::string digits = unicode::digits_only(master_number);
  return digits.empty() ? "console" : digits;
}

std::string read_media_file(const MediaCommand& command, const std::function<void(const std::string&)>& say,
                            const std::function<void()>& typing) {
  namespace fs = std::filesystem;
  const fs::path path(command.path);
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) {
    say("Cannot read " + command.path + ": " + ec.message());
    return "";
  }
  if (size > (command.photo ? media::MAX_PHOTO_BYTES : media::MAX_DOCUMENT_BYTES)) {
    say(console_notice(command.photo, media::Reading::Outcome::too_large));
    return "";
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) {
    say("Cannot read " + command.path);
    return "";
  }
  const std::string file = bytes.str();
  if (file.empty()) {
    say("Cannot read " + command.path + ": the file is empty");
    return "";
  }
  typing();
  const std::string type = type_by_name(path);
  const media::Reading reading = command.photo
                                     ? media::read_photo(file, type, command.caption)
                                     : media::read_document(file, type, command.caption, path.filename().string());
  if (reading.outcome != media::Reading::Outcome::read) {
    say(console_notice(command.photo, reading.outcome));
    return "";
  }
  return reading.text;
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
      configure_log_output(config, false);
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
                   "task board.\n/photo PATH [caption] and /document PATH [caption] send a file.\n"
                   "Reminders are not sent here: `"
                << program::command("serve") << "` sends them.\n";
  out.prompt();

  std::string line;
  while (std::getline(console.in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Console input is not checked the way the bridge's JSON is: make it valid UTF-8.
    const std::string message = unicode::to_utf8(unicode::to_u32(line));
    if (auto command = parse_media_command(message)) {
      try {
        const std::string conversation = read_media_file(*command, [&out](const std::string& text) { out.send(text); },
                                                         [&out] { out.typing(true); });
        if (!conversation.empty()) interpreter::handle_conversation(number, conversation);
      } catch (const std::exception& e) {
        log::error("Conversation for " + number + " failed: " + e.what());
      }
      out.clear_mark();
    } else if (!unicode::trim(message).empty()) {
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
