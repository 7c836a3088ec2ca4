// The `talmo` command line.
#pragma once

#include <string_view>

namespace talmo::app {

// Parses the arguments and runs the chosen command; returns the process's
// exit code. `talmo --help`, `talmo --version` ("talmo <version>"),
// `talmo serve [--config PATH]`, `talmo chat [--config PATH]` (chat.hpp),
// `talmo doctor [--config PATH]` (doctor.hpp), `talmo onboard [flags]`
// (onboard.hpp), and `talmo backup|forget|export|usage` (data_commands.hpp).
// A usage or configuration error prints one line to stderr and returns 2; an
// unknown command also lists the commands.
int run_cli(int argc, char** argv, std::string_view version);

}  // namespace talmo::app
