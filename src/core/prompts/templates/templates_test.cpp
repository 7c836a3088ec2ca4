// The prompt templates: lengths, block layout, placeholders.
#include "core/prompts/templates/templates.hpp"

#include "support/unicode.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::templates {
namespace {

struct Named {
  const char* name;
  const std::string& text;
  std::size_t length;
};

const std::vector<Named>& all_texts() {
  static const std::vector<Named> texts = {
      {"PERSONA_BLOCK", PERSONA_BLOCK, 233},
      {"GENERAL_GUIDELINES", GENERAL_GUIDELINES, 706},
      {"IDENTITY_MODULE_BLOCK", IDENTITY_MODULE_BLOCK, 158},
      {"IDENTITY_GUIDELINES", IDENTITY_GUIDELINES, 1613},
      {"IDENTITY_EXAMPLES", IDENTITY_EXAMPLES, 1263},
      {"IDENTITY_WORKER_PROMPT", IDENTITY_WORKER_PROMPT, 4443},
      {"SCHEDULES_MODULE_BLOCK", SCHEDULES_MODULE_BLOCK, 1706},
      {"SCHEDULES_GUIDELINES", SCHEDULES_GUIDELINES, 2866},
      {"SCHEDULES_EXAMPLES", SCHEDULES_EXAMPLES, 9554},
      {"SCHEDULES_WORKER_PROMPT", SCHEDULES_WORKER_PROMPT, 15711},
      {"WEB_SEARCH_MODULE_BLOCK", WEB_SEARCH_MODULE_BLOCK, 902},
      {"WEB_SEARCH_GUIDELINES", WEB_SEARCH_GUIDELINES, 1391},
      {"WEB_SEARCH_EXAMPLES", WEB_SEARCH_EXAMPLES, 2799},
      {"WEB_SEARCH_WORKER_PROMPT", WEB_SEARCH_WORKER_PROMPT, 6688},
      {"WEB_SEARCH_SUMMARIZER_BLOCK", WEB_SEARCH_SUMMARIZER_BLOCK, 478},
      {"WEB_SEARCH_SUMMARIZER_GUIDELINES", WEB_SEARCH_SUMMARIZER_GUIDELINES, 1273},
      {"WEB_SEARCH_SUMMARIZER_PROMPT", WEB_SEARCH_SUMMARIZER_PROMPT, 3331},
      {"ROUTER_PROMPT", ROUTER_PROMPT, 1807},
  };
  return texts;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }
bool ends_with(std::string_view text, std::string_view part) { return text.ends_with(part); }

// Every "{name}" token whose inside is a plain identifier.
std::set<std::string> placeholder_tokens(std::string_view text) {
  std::set<std::string> found;
  for (std::size_t open = text.find('{'); open != std::string_view::npos; open = text.find('{', open + 1)) {
    std::size_t end = open + 1;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) ++end;
    if (end > open + 1 && end < text.size() && text[end] == '}') {
      found.insert(std::string(text.substr(open, end - open + 1)));
    }
  }
  return found;
}

TEST(Templates, EveryTextHasItsLengthInCodePoints) {
  for (const auto& t : all_texts()) {
    EXPECT_EQ(unicode::length(t.text), t.length) << t.name;
  }
  // Emoji and box-drawing characters count one each, so bytes and code points differ.
  EXPECT_GT(SCHEDULES_EXAMPLES.size(), unicode::length(SCHEDULES_EXAMPLES));
}

TEST(Templates, BlocksBeginAndEndWithANewline) {
  for (const auto& t : all_texts()) {
    ASSERT_FALSE(t.text.empty()) << t.name;
    EXPECT_EQ(t.text.front(), '\n') << t.name;
    EXPECT_EQ(t.text.back(), '\n') << t.name;
  }
}

TEST(Templates, WorkerPromptsAreTheBlocksInOrderFollowedByTheOutputFormat) {
  struct Case {
    const std::string& prompt;
    std::string blocks;
    std::string_view status_line;
  };
  const auto head = [](const std::string& guidelines, const std::string& module, const std::string& examples) {
    return "\n" + PERSONA_BLOCK + "\n\n" + GENERAL_GUIDELINES + "\n\n" + guidelines + "\n\n" + module + "\n\n" +
           examples;
  };
  const Case cases[] = {
      {IDENTITY_WORKER_PROMPT, head(IDENTITY_GUIDELINES, IDENTITY_MODULE_BLOCK, IDENTITY_EXAMPLES),
       "  \"status\": \"done | awaiting_data | needs_clarity | error\",\n"},
      {SCHEDULES_WORKER_PROMPT, head(SCHEDULES_GUIDELINES, SCHEDULES_MODULE_BLOCK, SCHEDULES_EXAMPLES),
       "  \"status\": \"done | awaiting_data | needs_clarity | error\",\n"},
      {WEB_SEARCH_WORKER_PROMPT, head(WEB_SEARCH_GUIDELINES, WEB_SEARCH_MODULE_BLOCK, WEB_SEARCH_EXAMPLES),
       "  \"status\": \"awaiting_data | needs_clarity | error\",\n"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.prompt.starts_with(c.blocks));
    const std::string_view tail = std::string_view(c.prompt).substr(c.blocks.size());
    EXPECT_TRUE(tail.starts_with("\n\n### \U0001F4E5 Output Format\nAlways respond strictly with this JSON structure:\n{\n"));
    EXPECT_TRUE(ends_with(tail, "\n  \"context_cache\": {}\n}\n"));
    EXPECT_TRUE(contains(tail, c.status_line));
    EXPECT_TRUE(contains(tail, "\n  }],\n"));
  }
  // The web-search tail offers no "done": a search turn never ends the task.
  EXPECT_FALSE(contains(WEB_SEARCH_WORKER_PROMPT.substr(WEB_SEARCH_WORKER_PROMPT.rfind("### \U0001F4E5")), "done"));
  // Lines of the identity and schedules tails that end with a blank.
  EXPECT_TRUE(contains(IDENTITY_WORKER_PROMPT, "  \"actions\": [{ \n    \"module\": \"identity\", \n"));
  EXPECT_TRUE(contains(SCHEDULES_WORKER_PROMPT, "  \"actions\": [{ \n    \"module\": \"schedules\", \n"));
  EXPECT_TRUE(contains(WEB_SEARCH_WORKER_PROMPT,
                       "    \"command\": \"search\", // only search command is valid for web_search module for now.\n"));
}

TEST(Templates, ComposedPromptsSeparateBlocksWithEmptyLines) {
  EXPECT_TRUE(IDENTITY_WORKER_PROMPT.starts_with("\n\nYou are {bot_name}, a personal AI assistant."));
  // The persona's closing newline, two separators and the guidelines' opening newline.
  for (const std::string* p :
       {&IDENTITY_WORKER_PROMPT, &SCHEDULES_WORKER_PROMPT, &WEB_SEARCH_WORKER_PROMPT, &WEB_SEARCH_SUMMARIZER_PROMPT}) {
    EXPECT_TRUE(contains(*p, "{extra_identity}.\n\n\n\n### \U0001F4CB Status Flow Rules\n"));
  }
  // Module guidelines come before the module block in the worker prompts.
  EXPECT_LT(SCHEDULES_WORKER_PROMPT.find("### \u23F0 Schedules Specific Rules"),
            SCHEDULES_WORKER_PROMPT.find("### \u23F0 Schedules Module (The Registry)"));
  EXPECT_LT(SCHEDULES_WORKER_PROMPT.find("### \u23F0 Schedules Module (The Registry)"),
            SCHEDULES_WORKER_PROMPT.find("**Schedules Scenarios**:"));
}

TEST(Templates, SummarizerPromptPutsItsRulesAfterTheGeneralOnesAndEndsWithTheInputOutputSection) {
  const std::string blocks = "\n" + PERSONA_BLOCK + "\n\n" + GENERAL_GUIDELINES + "\n\n" + WEB_SEARCH_SUMMARIZER_BLOCK +
                             "\n\n" + WEB_SEARCH_SUMMARIZER_GUIDELINES;
  ASSERT_TRUE(WEB_SEARCH_SUMMARIZER_PROMPT.starts_with(blocks));
  const std::string_view io = std::string_view(WEB_SEARCH_SUMMARIZER_PROMPT).substr(blocks.size());
  EXPECT_EQ(unicode::length(io), 634u);
  EXPECT_TRUE(io.starts_with("\n\n### \U0001F4E5 Input You Will Receive\n{\n  \"original_query\""));
  EXPECT_TRUE(ends_with(io, "Start directly with the first result.\n"));
  EXPECT_TRUE(contains(io, "      \"published_date\": \"date if available\"\n    }\n  ]\n}\n"));
  EXPECT_TRUE(contains(WEB_SEARCH_SUMMARIZER_BLOCK, "{owner}"));
  EXPECT_TRUE(contains(WEB_SEARCH_SUMMARIZER_GUIDELINES, "{tone}"));
  // Every non-empty line of the summarizer guidelines is indented by two blanks.
  std::size_t start = 0;
  const std::string& g = WEB_SEARCH_SUMMARIZER_GUIDELINES;
  while (start < g.size()) {
    std::size_t end = g.find('\n', start);
    if (end == std::string::npos) end = g.size();
    if (end > start) {
      EXPECT_EQ(g.compare(start, 2, "  "), 0) << g.substr(start, end - start);
    }
    start = end + 1;
  }
}

TEST(Templates, PlaceholdersAreExactlyTheFillersNames) {
  const std::set<std::string> persona = {"{bot_name}",     "{owner}",        "{tone}",          "{response_type}",
                                         "{current_date}", "{current_time}", "{extra_identity}"};
  EXPECT_EQ(placeholder_tokens(PERSONA_BLOCK), persona);
  for (const std::string* p :
       {&IDENTITY_WORKER_PROMPT, &SCHEDULES_WORKER_PROMPT, &WEB_SEARCH_WORKER_PROMPT, &WEB_SEARCH_SUMMARIZER_PROMPT}) {
    EXPECT_EQ(placeholder_tokens(*p), persona);
  }
  EXPECT_EQ(placeholder_tokens(ROUTER_PROMPT), std::set<std::string>{"{PERSONA_BLOCK}"});
  EXPECT_TRUE(ROUTER_PROMPT.starts_with("\n{PERSONA_BLOCK}\n\n### YOUR TASK\n"));
  EXPECT_FALSE(contains(ROUTER_PROMPT, "{bot_name}"));
  EXPECT_EQ(placeholder_tokens(SCHEDULES_EXAMPLES), std::set<std::string>{"{owner}"});
  EXPECT_EQ(placeholder_tokens(IDENTITY_GUIDELINES), std::set<std::string>{"{extra_identity}"});
}

TEST(Templates, ScheduleExamplesKeepTheirDoubledBraces) {
  // The first three scenarios use "{{" / "}}"; the later ones single braces.
  const std::size_t doubled = SCHEDULES_WORKER_PROMPT.find("   - Output: {{\"thought\": ");
  ASSERT_NE(doubled, std::string::npos);
  EXPECT_TRUE(contains(SCHEDULES_WORKER_PROMPT, "\"trigger_args\": {{\"hours\": 1}}}}}}], \"context_cache\": {{}}}}\n"));
  std::size_t count = 0;
  for (std::size_t at = SCHEDULES_EXAMPLES.find("{{\"thought\""); at != std::string::npos;
       at = SCHEDULES_EXAMPLES.find("{{\"thought\"", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 3u);
  const std::size_t renumbered = SCHEDULES_EXAMPLES.find("  1. **The fetch Command (Registry Viewing)**");
  ASSERT_NE(renumbered, std::string::npos);
  EXPECT_EQ(SCHEDULES_EXAMPLES.find("{{", renumbered), std::string::npos);
  // The closing lines of the examples.
  EXPECT_TRUE(ends_with(SCHEDULES_EXAMPLES,
                        "you must output \"run_date\": \"2026-04-18 10:35:00\".\n"));
}

}  // namespace
}  // namespace talmo::templates
