// The HTTP server over loopback: limits, keep-alive, deadlines, body budgets, connection caps, stop.
#include "web/server.hpp"

#include "support/log.hpp"
#include "testing/socket.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace talmo::web {
namespace {

using namespace std::chrono_literals;
using testing::answer_body;
using testing::RawSocket;
using testing::status_codes;
using Clock = std::chrono::steady_clock;

const std::string GET_HELLO = "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n";

// Routes of the test server:
//   GET /hello, GET /n/<i>   -> {"path": <path>}
//   POST /echo               -> {"size": <body size>}
//   GET /explode             -> throws
//   GET /defer               -> asks for a worker on the loop: {"on_worker": true}
//   GET /gate                -> reads its body, then waits until the test opens the gate (on a worker)
//   POST /stream             -> reads its body itself (on a worker): {"read": <bytes>, "complete": ...}
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { log::set_stderr_enabled(false); }
  void TearDown() override {
    open_gate();
    server.reset();
    log::set_stderr_enabled(true);
  }

  void start(Limits limits = {}) {
    ServerOptions options;
    options.port = 0;
    options.limits = limits;
    options.streams_body = [](const Request& head) {
      return head.path == "/stream" || head.path == "/gate";
    };
    options.handler = [this](const Request& req) -> Answer {
      if (req.path == "/explode") throw std::runtime_error("kaboom");
      if (req.path == "/echo") return {200, json{{"size", req.body.size()}}};
      if (req.path == "/defer") {
        if (!req.on_worker) return run_on_worker();
        return {200, json{{"on_worker", true}}};
      }
      if (req.path == "/gate") {
        req.read_body([](std::string_view) { return true; });
        std::unique_lock l(mu);
        entered = true;
        cv.notify_all();
        cv.wait(l, [&] { return gate_open; });
        return {200, json{{"gate", "passed"}}};
      }
      if (req.path == "/stream") {
        std::size_t read = 0;
        bool complete = req.read_body([&](std::string_view piece) {
          read += piece.size();
          return true;
        });
        return {200, json{{"read", read}, {"complete", complete}}};
      }
      if (req.path == "/hello" || req.path.rfind("/n/", 0) == 0) return {200, json{{"path", req.path}}};
      return error_answer(404);
    };
    server = std::make_unique<HttpServer>(options);
  }

  std::string exchange(const std::string& bytes, int answers = 1, const std::string& source = "127.0.0.1") {
    RawSocket s(server->port(), source);
    EXPECT_TRUE(s.connected());
    s.send(bytes);
    return s.read_answers(answers);
  }

  void open_gate() {
    std::lock_guard l(mu);
    gate_open = true;
    cv.notify_all();
  }

  std::unique_ptr<HttpServer> server;
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false, gate_open = false;
};

TEST_F(ServerTest, AnswersJsonAndRefusesWhatBreaksTheLimits) {
  log::Capture cap;
  start();
  ASSERT_GT(server->port(), 0);
  EXPECT_EQ(server->url(), "http://127.0.0.1:" + std::to_string(server->port()));

  std::string many_fields, big_field(17 * 1024, 'a');
  for (int i = 0; i < 101; ++i) many_fields += "X-F" + std::to_string(i) + ": v\r\n";
  struct Case {
    std::string request, status, body;
  } cases[] = {
      {GET_HELLO, "200", R"({"path":"/hello"})"},
      {"GET /explode HTTP/1.1\r\nHost: x\r\n\r\n", "500", R"({"detail":"Internal Server Error"})"},
      {"GET /hello HTTP/1.1\r\n" + many_fields + "\r\n", "431",
       R"({"detail":"Request Header Fields Too Large"})"},
      {"GET /hello HTTP/1.1\r\nX-Big: " + big_field + "\r\n\r\n", "431",
       R"({"detail":"Request Header Fields Too Large"})"},
      {"NOT HTTP AT ALL\r\n\r\n", "400", R"({"detail":"Bad Request"})"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 12x\r\n\r\n", "400", R"({"detail":"Bad Request"})"},
      // Refused from the declared length, before a byte of the body.
      {"POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(MAX_REQUEST_BODY + 1) + "\r\n\r\n",
       "413", R"({"detail":"Payload Too Large"})"},
  };
  for (auto& c : cases) {
    std::string got = exchange(c.request);
    EXPECT_EQ(status_codes(got), c.status) << c.request.substr(0, 40);
    EXPECT_EQ(answer_body(got), c.body) << c.request.substr(0, 40);
    EXPECT_NE(got.find("Content-Type: application/json"), std::string::npos);
  }
  EXPECT_TRUE(cap.has(log::Level::error, "Unhandled error on GET /explode: kaboom"));

  // A body at the cap is read whole; one byte more (sent without a length) is not.
  std::string full = exchange("POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(MAX_REQUEST_BODY) +
                              "\r\n\r\n" + std::string(MAX_REQUEST_BODY, 'a'));
  EXPECT_EQ(answer_body(full), R"({"size":27262976})");
  std::string chunk(MAX_REQUEST_BODY + 1, 'a');
  char size[32];
  std::snprintf(size, sizeof size, "%zx", chunk.size());
  std::string over = exchange("POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                              std::string(size) + "\r\n" + chunk + "\r\n0\r\n\r\n");
  EXPECT_EQ(status_codes(over), "413");
}

TEST_F(ServerTest, KeepAliveAndPipelinedRequestsAreAnsweredInOrder) {
  start();
  RawSocket s(server->port());
  // The second one goes through a worker; the third must still come last.
  ASSERT_TRUE(s.send("GET /n/1 HTTP/1.1\r\nHost: x\r\n\r\n"
                     "GET /defer HTTP/1.1\r\nHost: x\r\n\r\n"
                     "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"));
  std::string got = s.read_answers(3);
  EXPECT_EQ(status_codes(got), "200 200 200");
  EXPECT_EQ(answer_body(got, 0), R"({"path":"/n/1"})");
  EXPECT_EQ(answer_body(got, 1), R"({"on_worker":true})");
  EXPECT_EQ(answer_body(got, 2), R"({"size":5})");

  // The same connection serves later requests, until the client asks to close.
  ASSERT_TRUE(s.send(GET_HELLO));
  EXPECT_EQ(status_codes(s.read_answers(1)), "200");
  ASSERT_TRUE(s.send("GET /hello HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  got = s.read_answers(1);
  EXPECT_NE(got.find("Connection: close"), std::string::npos);
  EXPECT_TRUE(s.closed_within(2s));

  // A client waiting for "100 Continue" gets it before sending the body.
  RawSocket c(server->port());
  ASSERT_TRUE(c.send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n"));
  std::string interim = c.read_answers(1);
  EXPECT_EQ(interim.rfind("HTTP/1.1 100 Continue\r\n\r\n", 0), 0u) << interim;
  ASSERT_TRUE(c.send("abc"));
  EXPECT_EQ(answer_body(c.read_answers(1)), R"({"size":3})");
}

// Slow-loris senders and idle sockets from another address hold nothing up:
// the owner's requests are answered at once while they are connected, and
// each of them is closed at its deadline.
TEST_F(ServerTest, SlowAndIdleSocketsDelayNoOneAndAreClosedAtTheirDeadlines) {
  Limits limits;
  limits.request_timeout = 1500ms;
  limits.idle_timeout = 1000ms;
  start(limits);

  std::vector<RawSocket> idle, slow;
  for (int i = 0; i < 20; ++i) idle.emplace_back(server->port(), "127.0.0.2");
  for (int i = 0; i < 8; ++i) slow.emplace_back(server->port(), "127.0.0.2");
  const auto attack_start = Clock::now();
  std::atomic<bool> stop_dribble{false};
  std::thread dribble([&] {
    // A header byte per socket every 100 ms, for longer than the deadline.
    const std::string header = "POST /echo HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(200, 'p');
    for (std::size_t i = 0; i < header.size() && !stop_dribble; ++i) {
      for (auto& s : slow) s.send(header.substr(i, 1));
      std::this_thread::sleep_for(100ms);
    }
  });

  for (int i = 0; i < 20; ++i) {
    const auto t0 = Clock::now();
    std::string got = exchange(GET_HELLO);
    EXPECT_EQ(status_codes(got), "200");
    EXPECT_LT(Clock::now() - t0, 500ms);
  }

  for (auto& s : idle) EXPECT_TRUE(s.closed_within(3s));
  EXPECT_GE(Clock::now() - attack_start, 900ms);  // not before their deadline
  for (auto& s : slow) EXPECT_TRUE(s.closed_within(3s));
  EXPECT_LT(Clock::now() - attack_start, 3500ms);
  stop_dribble = true;
  dribble.join();
}

// The deadline covers the request's arrival, not the route's work: a voice
// note may take longer to transcribe than its upload was allowed.
TEST_F(ServerTest, ARouteMayWorkPastTheRequestDeadlineOnceTheBodyIsIn) {
  Limits limits;
  limits.request_timeout = 300ms;
  start(limits);
  RawSocket s(server->port());
  const auto sent = Clock::now();
  ASSERT_TRUE(s.send("POST /gate HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"));
  {
    std::unique_lock l(mu);
    ASSERT_TRUE(cv.wait_for(l, 5s, [&] { return entered; }));
  }
  while (Clock::now() - sent < 3 * limits.request_timeout) std::this_thread::sleep_for(10ms);
  open_gate();
  EXPECT_EQ(answer_body(s.read_answers(1)), R"({"gate":"passed"})");
}

// Large bodies in memory have an overall cap; small webhooks never meet it.
TEST_F(ServerTest, LargeBodiesShareABudgetThatSmallOnesNeverMeet) {
  Limits limits;
  limits.max_buffered_bodies = 100 * 1024;
  start(limits);
  const std::string large = "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(150 * 1024) +
                            "\r\n\r\n";
  RawSocket holder(server->port(), "127.0.0.2");
  ASSERT_TRUE(holder.send(large + "abc"));  // 86 KiB of the budget, held while it trickles
  const auto until = Clock::now() + 5s;
  while (server->buffered_body_bytes() == 0 && Clock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(server->buffered_body_bytes(), 86u * 1024);

  std::string refused = exchange(large, 1, "127.0.0.3");
  EXPECT_EQ(status_codes(refused), "503");
  EXPECT_EQ(answer_body(refused), R"({"detail":"Service Unavailable"})");
  EXPECT_EQ(answer_body(exchange("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello")),
            R"({"size":5})");

  // Once the holder's body is in and answered, its share is free again.
  ASSERT_TRUE(holder.send(std::string(150 * 1024 - 3, 'a')));
  EXPECT_EQ(answer_body(holder.read_answers(1)), R"({"size":153600})");
  EXPECT_EQ(server->buffered_body_bytes(), 0u);
  EXPECT_EQ(answer_body(exchange(large + std::string(150 * 1024, 'b'))), R"({"size":153600})");
}

TEST_F(ServerTest, ConnectionCapsMakeRoomForANewPeer) {
  Limits limits;
  limits.max_connections = 12;
  limits.max_connections_per_peer = 6;
  start(limits);

  // Past its own cap, a peer's oldest waiting socket makes room for its newest.
  std::vector<RawSocket> flood;
  for (int i = 0; i < 7; ++i) flood.emplace_back(server->port(), "127.0.0.2");
  EXPECT_TRUE(flood[0].closed_within(2s));
  for (int i = 1; i < 7; ++i) {
    ASSERT_TRUE(flood[i].send(GET_HELLO));
    EXPECT_EQ(status_codes(flood[i].read_answers(1)), "200") << i;
  }
  // Two peers fill the server; a third still gets in and is served.
  for (int i = 0; i < 6; ++i) flood.emplace_back(server->port(), "127.0.0.3");
  std::string got = exchange(GET_HELLO, 1, "127.0.0.4");
  EXPECT_EQ(status_codes(got), "200");
  EXPECT_LE(server->connection_count(), 12u);
}

TEST_F(ServerTest, BlockingRoutesRunOffTheLoopAndStopIsPromptUnderAttack) {
  start();
  // A route blocked on a worker holds up nobody else.
  RawSocket blocked(server->port());
  ASSERT_TRUE(blocked.send("GET /gate HTTP/1.1\r\nHost: x\r\n\r\n"));
  {
    std::unique_lock l(mu);
    ASSERT_TRUE(cv.wait_for(l, 5s, [&] { return entered; }));
  }
  EXPECT_EQ(status_codes(exchange(GET_HELLO)), "200");
  open_gate();
  EXPECT_EQ(answer_body(blocked.read_answers(1)), R"({"gate":"passed"})");

  // A streamed body arrives piece by piece, and the connection goes on after it.
  std::string body(300 * 1024, 'b');
  std::string got = exchange("POST /stream HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body + GET_HELLO, 2);
  EXPECT_EQ(answer_body(got), R"({"read":307200,"complete":true})");
  EXPECT_EQ(status_codes(got), "200 200");

  // Attackers of every kind, including a route waiting for a body that never comes.
  std::vector<RawSocket> attackers;
  for (int i = 0; i < 30; ++i) attackers.emplace_back(server->port(), "127.0.0.2");
  for (int i = 0; i < 10; ++i) attackers[i].send("GET /hel");
  attackers[10].send("POST /stream HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\nabc");
  attackers[11].send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\nabc");
  EXPECT_EQ(status_codes(exchange(GET_HELLO)), "200");  // all of them are in

  const auto t0 = Clock::now();
  server->stop();
  EXPECT_LT(Clock::now() - t0, 2500ms);
  for (auto& a : attackers) EXPECT_TRUE(a.closed_within(1s));
  RawSocket after(server->port());
  EXPECT_FALSE(after.connected());
  server->stop();  // idempotent
}

TEST_F(ServerTest, ABusyPortIsAnError) {
  start();
  ServerOptions options;
  options.port = server->port();
  EXPECT_THROW(HttpServer second(options), std::runtime_error);
}

}  // namespace
}  // namespace talmo::web
