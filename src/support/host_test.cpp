// Which Host header values and listening addresses name only this machine.
#include "support/host.hpp"

#include <gtest/gtest.h>

namespace talmo::host {
namespace {

TEST(Host, LoopbackNamesAndAddresses) {
  for (const char* h : {"localhost", "LOCALHOST", "localhost.", "127.0.0.1", "127.1.2.3", "::1", "[::1]",
                        "::ffff:127.0.0.1", "0:0:0:0:0:0:0:1"})
    EXPECT_TRUE(is_loopback(h)) << h;
  for (const char* h : {"0.0.0.0", "::", "192.168.1.5", "128.0.0.1", "localhost.example", "127.0.0.1.nip.io",
                        "::ffff:10.0.0.1", "", "127.1"})
    EXPECT_FALSE(is_loopback(h)) << h;
}

TEST(Host, NameOfAHostHeader) {
  struct Case {
    const char* header;
    std::optional<std::string> name;
  } cases[] = {
      {"LocalHost:8000", "localhost"}, {"127.0.0.1", "127.0.0.1"},  {"[::1]:80", "::1"},
      {"[::1]", "::1"},                 {"Attacker.Example.", "attacker.example"},
      {"a.example:", std::nullopt},     {"a.example:80x", std::nullopt}, {"[::1", std::nullopt},
      {"[::1]x", std::nullopt},         {"[zz]:80", std::nullopt},       {"", std::nullopt},
      {"a b", std::nullopt},            {"evil@127.0.0.1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(name_of(c.header), c.name) << c.header;
}

}  // namespace
}  // namespace talmo::host
