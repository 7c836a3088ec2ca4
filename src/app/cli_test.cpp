#include "app/cli.hpp"

#include "support/program.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace talmo::app {
namespace {

// Runs the command line in-process (only for arguments it refuses before
// running a command) and returns what it printed on stderr.
std::string refusal(std::vector<std::string> args, int& code) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream err;
  std::streambuf* saved = std::cerr.rdbuf(err.rdbuf());
  code = run_cli(static_cast<int>(args.size()), argv.data(), "0.0.0");
  std::cerr.rdbuf(saved);
  program::started_as("talmo");
  return err.str();
}

TEST(CommandLine, MistypedCommandsAndOptionsGetTheNearestOne) {
  struct Case {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"talmo", "serv"}, "talmo: unknown command \"serv\"; did you mean \"serve\"? (see talmo --help)\n"},
      {{"./build/talmo", "doctr"},
       "talmo: unknown command \"doctr\"; did you mean \"doctor\"? (see ./build/talmo --help)\n"},
      {{"talmo", "fly"},
       "talmo: unknown command \"fly\"; the commands are: serve, chat, doctor, onboard, backup, forget, export, "
       "usage (see talmo --help)\n"},
      {{"talmo", "chat", "--confg", "x"},
       "talmo: unknown option \"--confg\"; did you mean \"--config\"? (see talmo chat --help)\n"},
      {{"talmo", "onboard", "--yes", "--master-numbr=+49 151 23456789"},
       "talmo: unknown option \"--master-numbr\"; did you mean \"--master-number\"? (see talmo onboard --help)\n"},
      // An option's value is not taken for an option; the mistake after it is found.
      {{"talmo", "onboard", "--owner", "--Chief--", "--acept-number"},
       "talmo: unknown option \"--acept-number\"; did you mean \"--accept-number\"? (see talmo onboard --help)\n"},
      {{"talmo", "usage", "--weeks", "2"}, "talmo: unknown option \"--weeks\" (see talmo usage --help)\n"},
      {{"talmo", "--verison"}, "talmo: unknown option \"--verison\"; did you mean \"--version\"? (see talmo --help)\n"},
  };
  for (const Case& c : cases) {
    int code = 0;
    EXPECT_EQ(refusal(c.args, code), c.line) << c.args[1];
    EXPECT_EQ(code, 2) << c.args[1];
  }
}

}  // namespace
}  // namespace talmo::app
