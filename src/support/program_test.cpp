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
    started_as(c.argv0, std::nullopt);
    EXPECT_EQ(command("onboard"), c.onboard_hint) << c.argv0;
  }
  started_as("./build/talmo", std::nullopt);
  EXPECT_EQ(command(""), "./build/talmo");
  started_as("talmo", std::nullopt);
}

// Under the service the hint is typed by someone else, from their own
// account: it must reach the service's account and data folder.
TEST(ProgramName, HintsFromTheServiceAccountRunAsIt) {
  EXPECT_EQ(name_for("/usr/local/bin/talmo", ServiceAccount{"talmo", "/var/lib/talmo"}),
            "sudo -u talmo env TALMO_HOME=/var/lib/talmo /usr/local/bin/talmo");
  EXPECT_EQ(name_for("/usr/local/bin/talmo", ServiceAccount{"talmo", ""}), "sudo -u talmo /usr/local/bin/talmo");
  EXPECT_EQ(name_for("talmo", ServiceAccount{"talmo", "/srv/my data"}),
            "sudo -u talmo env 'TALMO_HOME=/srv/my data' talmo");
  started_as("/usr/local/bin/talmo", ServiceAccount{"talmo", "/var/lib/talmo"});
  EXPECT_EQ(command("onboard"), "sudo -u talmo env TALMO_HOME=/var/lib/talmo /usr/local/bin/talmo onboard");
  started_as("talmo", std::nullopt);
}

}  // namespace
}  // namespace talmo::program
