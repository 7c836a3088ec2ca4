#include "support/program.hpp"

#include <gtest/gtest.h>

namespace talmo::program {
namespace {

TEST(ProgramName, HintsNameTheProgramAsItWasStarted) {
  struct Case {
    const char* argv0;
    const char* onboard_hint;
  } cases[] = {
      {"./build/talmo", "./build/talmo onboard"},
      {"build/talmo", "build/talmo onboard"},
      {"/usr/local/bin/talmo", "/usr/local/bin/talmo onboard"},
      {"talmo", "talmo onboard"},
      {"", "talmo onboard"},
      {"/home/me/my talmo/build/talmo", "'/home/me/my talmo/build/talmo' onboard"},
      {"/tmp/it's/talmo", "'/tmp/it'\\''s/talmo' onboard"},
  };
  for (const Case& c : cases) {
    started_as(c.argv0);
    EXPECT_EQ(command("onboard"), c.onboard_hint) << c.argv0;
  }
  started_as("./build/talmo");
  EXPECT_EQ(command(""), "./build/talmo");
  started_as("talmo");
}

}  // namespace
}  // namespace talmo::program
