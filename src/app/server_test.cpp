#include "app/server.hpp"

#include "support/json.hpp"
#include "support/log.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace talmo::app {
namespace {

TEST(HttpServer, AnswersHealthzOnAnEphemeralPortAndJsonForErrors) {
  log::set_stderr_enabled(false);
  log::Capture cap;
  ServerOptions options;
  options.port = 0;
  options.mount = [](httplib::Server& s) {
    s.Get("/explode", [](const httplib::Request&, httplib::Response&) {
      throw std::runtime_error("kaboom");
    });
  };
  HttpServer server(options);
  ASSERT_GT(server.port(), 0);
  EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()));

  httplib::Client client("127.0.0.1", server.port());
  auto res = client.Get("/healthz");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body), json({{"status", "ok"}}));

  res = client.Get("/nowhere");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  EXPECT_EQ(json::parse(res->body), json({{"detail", "Not Found"}}));

  res = client.Get("/explode");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 500);
  EXPECT_EQ(json::parse(res->body), json({{"detail", "Internal Server Error"}}));
  EXPECT_TRUE(cap.has(log::Level::error, "Unhandled error on GET /explode: kaboom"));
  log::set_stderr_enabled(true);
}

TEST(HttpServer, RefusesBodiesAbove26MiB) {
  std::size_t seen = 0;
  ServerOptions options;
  options.port = 0;
  options.mount = [&](httplib::Server& s) {
    s.Post("/echo", [&](const httplib::Request& req, httplib::Response& res) {
      seen = req.body.size();
      res.set_content("{}", "application/json");
    });
  };
  HttpServer server(options);
  httplib::Client client("127.0.0.1", server.port());
  auto res = client.Post("/echo", std::string(MAX_REQUEST_BODY, 'a'), "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(seen, MAX_REQUEST_BODY);

  httplib::Client other("127.0.0.1", server.port());
  res = other.Post("/echo", std::string(MAX_REQUEST_BODY + 1, 'a'), "text/plain");
  if (res) {
    EXPECT_EQ(res->status, 413);  // or the connection is dropped
  }
  EXPECT_EQ(seen, MAX_REQUEST_BODY);
}

TEST(HttpServer, ASlowRequestDoesNotHoldUpOthers) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false, entered = false;
  ServerOptions options;
  options.port = 0;
  options.mount = [&](httplib::Server& s) {
    s.Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
      std::unique_lock l(mu);
      entered = true;
      cv.notify_all();
      cv.wait(l, [&] { return release; });
      res.set_content("{}", "application/json");
    });
  };
  HttpServer server(options);
  std::thread slow([&] {
    httplib::Client c("127.0.0.1", server.port());
    auto res = c.Get("/slow");
    EXPECT_TRUE(res && res->status == 200);
  });
  {
    std::unique_lock l(mu);
    cv.wait(l, [&] { return entered; });
  }
  httplib::Client client("127.0.0.1", server.port());
  auto res = client.Get("/healthz");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  {
    std::lock_guard l(mu);
    release = true;
  }
  cv.notify_all();
  slow.join();
  server.stop();
  server.stop();  // idempotent

  httplib::Client after("127.0.0.1", server.port());
  EXPECT_FALSE(after.Get("/healthz"));  // no longer accepting
}

TEST(HttpServer, ABusyPortIsAnError) {
  ServerOptions options;
  options.port = 0;
  HttpServer first(options);
  options.port = first.port();
  EXPECT_THROW(HttpServer second(options), std::runtime_error);
}

}  // namespace
}  // namespace talmo::app
