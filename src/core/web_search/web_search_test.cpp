// The Tavily provider against a loopback service: requests, refusals, errors.
#include "core/web_search/web_search.hpp"

#include "testing/fake_server.hpp"

#include <gtest/gtest.h>

namespace talmo::web_search {
namespace {

using talmo::testing::FakeServer;

class TavilyTest : public ::testing::Test {
 protected:
  std::unique_ptr<Provider> provider(std::string key = "tvly-test-key") {
    return make_tavily({std::move(key), tavily.url(), 5000});
  }
  FakeServer tavily;
};

TEST_F(TavilyTest, PostsTheModelsParametersWithTheKeyAndAnAnswerRequest) {
  const std::string answer =
      R"({"query": "news", "answer": "All calm.", "images": [], )"
      R"("results": [{"url": "https://b.example", "title": "B", "score": 0.5}], "response_time": "1.2"})";
  tavily.reply("POST", "/search", 200, answer);
  json params = json::parse(
      R"({"query": "news in Pakistan", "topic": "news", "days": null, "max_results": 3,
          "include_domains": ["dawn.com"], "exclude_domains": null, "search_depth": "advanced"})");

  auto [results, error] = provider()->search(params);

  EXPECT_EQ(error, "");
  EXPECT_EQ(results.dump(), json::parse(answer).dump());  // decoded, key order kept
  auto requests = tavily.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/search");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer tvly-test-key");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].body,
            R"({"query": "news in Pakistan", "topic": "news", "max_results": 3, )"
            R"("include_domains": ["dawn.com"], "search_depth": "advanced", "include_answer": true})");
}

TEST_F(TavilyTest, RefusesUnknownParametersBeforeSending) {
  try {
    provider()->search(json{{"query", "x"}, {"include_images", true}});
    FAIL() << "an unknown parameter was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("include_images"), std::string::npos) << e.what();
  }
  EXPECT_THROW(provider()->search(json::array({"query"})), std::invalid_argument);
  EXPECT_THROW(provider("")->search(json{{"q", "x"}}), std::invalid_argument);
  EXPECT_TRUE(tavily.requests().empty());
}

TEST_F(TavilyTest, AMissingKeyFailsTheSearchWithoutARequest) {
  auto [results, error] = provider("")->search(json{{"query", "x"}});
  EXPECT_TRUE(results.is_null());
  EXPECT_EQ(error, "Tavily API key is not configured (TAVILY_API_KEY)");
  EXPECT_TRUE(tavily.requests().empty());
}

TEST_F(TavilyTest, ErrorsBecomeNullAndAShortText) {
  struct Case {
    int status;
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases = {
      {401, R"({"detail": {"error": "Unauthorized: missing or invalid API key."}})",
       "401: Unauthorized: missing or invalid API key."},
      {432, R"({"detail": {"error": "This request exceeds your plan's set usage limit."}})",
       "432: This request exceeds your plan's set usage limit."},
      {400, R"({"detail": "Invalid topic"})", "400: Invalid topic"},
      {500, "Internal Server Error", "500: Internal Server Error"},
      {200, "<html>oops</html>", "Tavily answered with a body that is not JSON"},
      {200, "[1, 2]", "Tavily answered with an unexpected body"},
      // Every renderer recurses once per level; a body this deep is refused.
      {200, R"({"results": )" + std::string(MAX_JSON_DEPTH, '[') + std::string(MAX_JSON_DEPTH, ']') + "}",
       "Tavily answered with a body that is not JSON"},
      // An answer past the size limit is cut off, never held whole.
      {200, R"({"answer": ")" + std::string(MAX_ANSWER_BYTES, 'x') + R"("})",
       "the answer is larger than " + std::to_string(MAX_ANSWER_BYTES) + " bytes"},
      // An error page past the limit, too.
      {500, std::string(MAX_ANSWER_BYTES + 1, 'x'),
       "the answer is larger than " + std::to_string(MAX_ANSWER_BYTES) + " bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    tavily.reply("POST", "/search", c.status, c.body);
    auto [results, error] = provider()->search(json{{"query", "x"}});
    EXPECT_TRUE(results.is_null());
    EXPECT_EQ(error, c.error);
  }

  std::string page(2000, 'x');
  tavily.reply("POST", "/search", 503, page, "text/html");
  EXPECT_EQ(provider()->search(json{{"query", "x"}}).second, "503: " + page.substr(0, 500));

  tavily.stop();
  auto [results, error] = provider()->search(json{{"query", "x"}});
  EXPECT_TRUE(results.is_null());
  EXPECT_EQ(error.rfind("Couldn't connect to server", 0), 0u) << error;
}

}  // namespace
}  // namespace talmo::web_search
