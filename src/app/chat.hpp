// `talmo chat`: a conversation with the engine on the console, with the same
// stores and configuration as `talmo serve` and no bridge or HTTP server.
#pragma once

#include "core/config/config.hpp"

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace talmo::app {

// The console the conversation runs on.
struct ChatConsole {
  std::istream& in;    // one owner message per line
  std::ostream& out;   // every text the engine sends the owner, each followed by a line break
  bool interactive;    // a person at a terminal: a prompt, a typing mark and one notice are shown
};

// The memory key of the owner's messages: the master number's full
// international digits, as the bridge names the owner, so the console and
// WhatsApp share one history; "console" without a master number (a number
// that is not international gives its plain digits).
std::string console_number(const std::string& master_number);

// A console line "/photo PATH [caption]" or "/document PATH [caption]"
// (a PATH with blanks in double quotes).
struct MediaCommand {
  bool photo = false;
  std::string path;
  std::string caption;
};
std::optional<MediaCommand> parse_media_command(const std::string& line);

// Reads the command's file as the bridge's photo or document would be read
// (the type from the file name's extension, else from its first bytes;
// typing() is called before the model is) and returns the text the
// conversation runs on. When the file cannot be read, `say` gets the notice
// the owner would get on WhatsApp (or why the file cannot be opened) and the
// result is "".
std::string read_media_file(const MediaCommand& command, const std::function<void(const std::string&)>& say,
                            const std::function<void()>& typing);

// Runs the conversation until the end of input and returns the exit code:
// 0 at the end of input, 2 for a configuration error, 1 when the data folder
// or database cannot be opened (one line on stderr for either). Each line is
// handled to its end, replies printed, before the next is read; blank lines
// are skipped; a /photo or /document line sends a file (read_media_file).
// Nothing reaches the bridge and reminders are not fired here
// (`talmo serve` does that). Logs go to stderr, or to TALMO_LOG_FILE when it
// is set (1 when it cannot be written), at warning level unless
// TALMO_LOG_LEVEL says otherwise.
int chat(const std::optional<std::filesystem::path>& config_path, const config::Environment& env,
         ChatConsole console);

}  // namespace talmo::app
