// The `talmo` command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::app {

// Parses the arguments and runs the chosen command; returns the process's
// exit code. `talmo --help`, `talmo --version` ("talmo <version>"),
// `talmo serve [--config PATH]`, `talmo chat [--config PATH]` (chat.hpp),
// `talmo doctor [--config PATH]` (doctor.hpp), `talmo onboard [flags]`
// (onboard.hpp), and `talmo backup|forget|export|usage` (data_commands.hpp).
// A usage or configuration error prints one line to stderr and returns 2. A
// mistyped command or option names the nearest known one ("talmo: unknown
// command "serv"; did you mean "serve"? (see talmo --help)"); an unknown
// command with none near lists the commands. Hints name the program as
// argv[0] started it (support/program.hpp).
int run_cli(int argc, char** argv, std::string_view version);

// The word in `known` that `word` most likely meant: the nearest one, when it
// is near enough to be a slip rather than a different word.
std::optional<std::string> did_you_mean(std::string_view word, const std::vector<std::string>& known);

}  // namespace talmo::app
