// The HTTP client against a loopback server: bodies, statuses, multipart, caps, transport failures.
#include "support/http.hpp"

#include "support/log.hpp"
#include "testing/fake_server.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace talmo::http {
namespace {

using talmo::testing::FakeServer;
using talmo::testing::RecordedRequest;

TEST(HttpPerform, SendsBodyAndHeadersAndCapturesStatusAndBody) {
  FakeServer server;
  server.on("POST", "/echo", [](const RecordedRequest& r, httplib::Response& res) {
    res.status = r.header("X-Test") == "yes" ? 201 : 400;
    res.set_content("got:" + r.body, "text/plain");
  });
  Request request;
  request.url = server.url() + "/echo";
  request.headers = {{"Content-Type", "application/json"}, {"X-Test", "yes"}};
  request.body = std::string("{\"a\": \"\0b\"}", 11);

  Response response = perform(request);

  EXPECT_TRUE(response.transport_ok);
  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.body, "got:" + request.body);
  EXPECT_EQ(response.error, "");
  auto recorded = server.requests();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].method, "POST");
  EXPECT_EQ(recorded[0].header("Content-Type"), "application/json");
  EXPECT_EQ(recorded[0].header("Expect"), "");
}

TEST(HttpPerform, ErrorStatusesAreAnswersNotTransportFailures) {
  FakeServer server;
  server.reply("GET", "/missing", 503, R"({"error": "down"})");
  Request request;
  request.method = "GET";
  request.url = server.url() + "/missing";
  Response response = perform(request);
  EXPECT_TRUE(response.transport_ok);
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.body, R"({"error": "down"})");
  EXPECT_EQ(server.requests().at(0).method, "GET");
}

TEST(HttpPerform, MultipartCarriesFieldsAndFilesFromMemory) {
  FakeServer server;
  server.reply("POST", "/upload", 200, "ok", "text/plain");
  Request request;
  request.url = server.url() + "/upload";
  request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer x"}};
  std::string audio(2 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 7);
  request.mime = {{"file", audio, "note.ogg"}, {"model", "whisper", ""}};

  Response response = perform(request);

  ASSERT_TRUE(response.transport_ok) << response.error;
  EXPECT_EQ(response.status, 200);
  auto r = server.requests().at(0);
  EXPECT_EQ(r.content_type.rfind("multipart/form-data; boundary=", 0), 0u) << r.content_type;
  EXPECT_EQ(r.header("Authorization"), "Bearer x");
  EXPECT_EQ(r.form.at("file").second, "note.ogg");
  EXPECT_TRUE(r.form.at("file").first == audio);
  EXPECT_EQ(r.form.at("model").first, "whisper");
  EXPECT_EQ(r.form.at("model").second, "");
}

TEST(HttpPerform, AnAnswerPastTheCapFailsTheCallWithAWarning) {
  FakeServer server;
  const std::string big(3 << 20, 'x');
  server.on("GET", "/big", [&](const RecordedRequest&, httplib::Response& res) {
    res.set_content(big, "text/plain");
  });
  log::set_stderr_enabled(false);
  log::Capture cap;
  Request request;
  request.method = "GET";
  request.url = server.url() + "/big?key=secret";
  for (const auto& [limit, fits] : {std::pair<std::size_t, bool>{big.size(), true}, {big.size() - 1, false},
                                    {1 << 20, false}}) {
    request.max_response_bytes = limit;
    const Response response = perform(request);
    EXPECT_EQ(response.transport_ok, fits) << limit;
    EXPECT_EQ(response.too_large, !fits) << limit;
    if (fits) {
      EXPECT_EQ(response.body.size(), big.size());
    } else {
      EXPECT_EQ(response.error, "the answer is larger than " + std::to_string(limit) + " bytes");
    }
  }
  log::set_stderr_enabled(true);
  const auto warnings = cap.messages(log::Level::warning);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0], "The answer from " + server.url() + "/big was cut off: the answer is larger than " +
                             std::to_string(big.size() - 1) + " bytes; the call counts as failed");
}

TEST(HttpPerform, TransportFailuresAreValuesWithLibcurlsText) {
  // A peer that answers too late.
  FakeServer slow;
  slow.on("POST", "/slow", [](const RecordedRequest&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    res.set_content("late", "text/plain");
  });
  Request request;
  request.url = slow.url() + "/slow";
  request.timeout_ms = 50;
  Response late = perform(request);
  EXPECT_FALSE(late.transport_ok);
  EXPECT_EQ(late.status, 0);
  EXPECT_EQ(late.error.rfind("Timeout was reached: ", 0), 0u) << late.error;

  // A peer that is gone.
  FakeServer gone;
  const std::string url = gone.url() + "/x";
  gone.stop();
  request.url = url;
  request.timeout_ms = 2000;
  Response refused = perform(request);
  EXPECT_FALSE(refused.transport_ok);
  EXPECT_EQ(refused.error.rfind("Couldn't connect to server: ", 0), 0u) << refused.error;

  // Not a URL at all.
  request.url = "not a url";
  Response bad = perform(request);
  EXPECT_FALSE(bad.transport_ok);
  EXPECT_FALSE(bad.error.empty());
}

}  // namespace
}  // namespace talmo::http
