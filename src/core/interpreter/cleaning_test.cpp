// clean_json_response on fenced, bare and object-less model replies.
#include "core/interpreter/interpreter.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace talmo::interpreter {
namespace {

TEST(CleanJsonResponse, CutsTheObjectOutOfAFence) {
  EXPECT_EQ(clean_json_response("```json\n{\n  \"a\": 1,\n  \"b\": {\"c\": 2}\n}\n```"),
            "{\n  \"a\": 1,\n  \"b\": {\"c\": 2}\n}");
  EXPECT_EQ(clean_json_response("Sure:\n```\n{\"a\": 1}\n```\nDone."), "{\"a\": 1}");
  // Unicode whitespace (U+00A0, U+3000, U+2028) around the object still belongs to the fence.
  EXPECT_EQ(clean_json_response("```json\xC2\xA0{\"a\": 1}\xE3\x80\x80\xE2\x80\xA8```"), "{\"a\": 1}");
  // U+200B is not whitespace: the fence does not match and the bare object
  // runs to the last closing brace.
  EXPECT_EQ(clean_json_response("```\xE2\x80\x8B{\"a\": 1}``` {\"b\": 2}"), "{\"a\": 1}``` {\"b\": 2}");
}

TEST(CleanJsonResponse, FenceEndsAtTheFirstBraceFollowedByTheClosingFence) {
  // The first fenced block wins even when a bare object comes earlier.
  EXPECT_EQ(clean_json_response("{\"x\": 0} then ```{\"a\": \"}\"}``` and ```{\"b\": 2}```"),
            "{\"a\": \"}\"}");
  // Braces followed by other text do not stop the object early.
  EXPECT_EQ(clean_json_response("```{\"a\": {\"b\": 1} }\n```"), "{\"a\": {\"b\": 1} }");
}

TEST(CleanJsonResponse, UpperCaseLanguageWordFallsBackToTheWidestBareObject) {
  EXPECT_EQ(clean_json_response("```JSON\n{\"a\": 1}\n```\n{\"tail\": 2}"), "{\"a\": 1}\n```\n{\"tail\": 2}");
}

TEST(CleanJsonResponse, BareObjectSpansFirstOpeningToLastClosingBrace) {
  EXPECT_EQ(clean_json_response("Here you go: {\"a\": 1} hope it helps"), "{\"a\": 1}");
  EXPECT_EQ(clean_json_response("{\"a\": 1} and also {\"b\": 2}!"), "{\"a\": 1} and also {\"b\": 2}");
  EXPECT_EQ(clean_json_response("x\n{\n\"a\":\n1\n}\ny"), "{\n\"a\":\n1\n}");
  EXPECT_EQ(clean_json_response("é {\"name\": \"Zoë 😀\"} ü"), "{\"name\": \"Zoë 😀\"}");
}

TEST(CleanJsonResponse, WithoutAnObjectTheInputComesBackTrimmed) {
  EXPECT_EQ(clean_json_response("  \n Hello, Boss!\xE2\x80\x83\n"), "Hello, Boss!");
  EXPECT_EQ(clean_json_response(""), "");
  EXPECT_EQ(clean_json_response(" } backwards { "), "} backwards {");
  // U+200B is not whitespace and stays.
  EXPECT_EQ(clean_json_response("\xE2\x80\x8Bhi "), "\xE2\x80\x8Bhi");
}

TEST(CleanJsonResponse, StaysLinearOnAMegabyteReply) {
  const auto start = std::chrono::steady_clock::now();

  // Every fence opens an object that only the very last fence closes, so the
  // leftmost match spans the whole reply.
  std::string fenced;
  while (fenced.size() < (1u << 20)) fenced += "```json {\"k\": \"v\"} ... \n";
  fenced += "```{\"last\": true}```";
  const std::string cut = clean_json_response(fenced);
  EXPECT_EQ(cut.size(), fenced.size() - 8 - 3);
  EXPECT_EQ(cut.substr(0, 5), "{\"k\":");
  EXPECT_EQ(cut.substr(cut.size() - 14), "{\"last\": true}");

  // No closing brace anywhere: every fence start fails, the input comes back.
  std::string unclosed;
  while (unclosed.size() < (1u << 20)) unclosed += "```json {\"k\": 1, ";
  EXPECT_EQ(clean_json_response(unclosed + "  "), unclosed.substr(0, unclosed.size() - 1));

  std::string bare(1u << 20, 'a');
  bare[10] = '{';
  bare[bare.size() - 10] = '}';
  EXPECT_EQ(clean_json_response(bare), bare.substr(10, bare.size() - 19));

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace talmo::interpreter
