#include "app/chat.hpp"

#include <gtest/gtest.h>

namespace talmo::app {
namespace {

TEST(ChatMediaCommand, PathThenCaption) {
  struct Case {
    const char* line;
    bool is_command, photo;
    const char* path;
    const char* caption;
  } cases[] = {
      {"/photo a.jpg", true, true, "a.jpg", ""},
      {"/photo  ~/a.jpg   how much was it? ", true, true, "~/a.jpg", "how much was it?"},
      {"/document \"My Files/invoice 7.pdf\" when is it due?", true, false, "My Files/invoice 7.pdf", "when is it due?"},
      {"/document \"unclosed.pdf", false, false, "", ""},
      {"/photo", false, false, "", ""},
      {"/photo ", false, false, "", ""},
      {"/photograph a.jpg", false, false, "", ""},
      {"look at /photo a.jpg", false, false, "", ""},
  };
  for (const auto& c : cases) {
    const auto command = parse_media_command(c.line);
    ASSERT_EQ(command.has_value(), c.is_command) << c.line;
    if (!command) continue;
    EXPECT_EQ(command->photo, c.photo) << c.line;
    EXPECT_EQ(command->path, c.path) << c.line;
    EXPECT_EQ(command->caption, c.caption) << c.line;
  }
}

}  // namespace
}  // namespace talmo::app
