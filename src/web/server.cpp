#include "web/server.hpp"

#include "support/log.hpp"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace talmo::web {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
// Sockets bound to their loop's own executor type: a type-erased executor
// is copied and destroyed on every operation, which shows on a busy loop.
using Executor = net::io_context::executor_type;
using Socket = net::basic_stream_socket<tcp, Executor>;

namespace {

// A buffered body above this size is handled on a worker: parsing a large
// JSON body takes long enough to stall every other connection. What a body
// holds beyond it counts against Limits::max_buffered_bodies.
constexpr std::size_t LARGE_BODY = 64 * 1024;
// At most one warning a minute about refused bodies, whatever the flood.
constexpr std::chrono::seconds BUDGET_WARNING_EVERY{60};
// Piece size for bodies that routes read themselves.
constexpr std::size_t BODY_CHUNK = 64 * 1024;
// After an answer that ends a connection, what is still arriving is read and
// dropped for this long, so the client sees the answer instead of a reset.
constexpr std::chrono::milliseconds LINGER{1000};
// While stopping, how long an answer being produced may take to write, and
// how long stop() waits for those answers in all.
constexpr std::chrono::milliseconds STOP_GRACE{1000};
constexpr char CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";
// How often deadlines are checked, at most: a connection is closed at most
// this long after its deadline. One sweep over every connection is much
// cheaper than a timer armed and cancelled around every read and write.
constexpr std::chrono::milliseconds SWEEP_PERIOD{100};

std::int64_t ticks(Clock::time_point t) { return t.time_since_epoch().count(); }
constexpr std::int64_t NO_DEADLINE = std::numeric_limits<std::int64_t>::max();

// The answer's bytes, head and body in one buffer so that it leaves in one
// write. The head is what Beast would write for the same answer.
std::string render_answer(const Answer& a, unsigned version, bool keep) {
  // Error texts may carry bytes of a malformed body; they must not break the answer.
  const std::string body = a.body.dump(-1, ' ', false, json::error_handler_t::replace);
  const auto reason = http::obsolete_reason(static_cast<http::status>(a.status));
  std::string out;
  out.reserve(128 + body.size());
  out += version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
  out += std::to_string(a.status);
  out += ' ';
  out.append(reason.data(), reason.size());
  out += "\r\nContent-Type: application/json\r\n";
  if (version == 10 && keep) out += "Connection: keep-alive\r\n";
  if (version != 10 && !keep) out += "Connection: close\r\n";
  out += "Content-Length: ";
  out += std::to_string(body.size());
  out += "\r\n\r\n";
  out += body;
  return out;
}

// True when the request has no Transfer-Encoding, or one field of it that
// is exactly "chunked" (in any case, surrounding blanks aside).
bool transfer_encoding_understood(const http::request_header<>& h) {
  auto [first, last] = h.equal_range(http::field::transfer_encoding);
  if (first == last) return true;
  if (std::next(first) != last) return false;
  std::string_view v(first->value().data(), first->value().size());
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!v.empty() && blank(v.front())) v.remove_prefix(1);
  while (!v.empty() && blank(v.back())) v.remove_suffix(1);
  return iequals(v, "chunked");
}

bool is_http_error(const beast::error_code& ec) {
  return &ec.category() == &http::make_error_code(http::error::bad_target).category();
}

// Hands a streamed body from the event loop to the worker running the
// route, one piece at a time: the loop reads the next piece only when the
// worker asks for it, so a slow route holds back a fast sender.
class BodyPipe {
 public:
  enum class State { idle, asked, piece, end, failed };

  // Worker side. `ask` makes the loop fetch the next piece.
  bool read(const BodySink& sink, const std::function<void()>& ask) {
    {
      std::lock_guard l(mu_);
      if (used_) return false;
      used_ = true;
    }
    for (;;) {
      {
        std::lock_guard l(mu_);
        if (state_ == State::failed) return false;
        state_ = State::asked;
      }
      ask();
      std::string piece;
      {
        std::unique_lock l(mu_);
        cv_.wait(l, [&] { return state_ != State::asked; });
        if (state_ == State::end) return true;
        if (state_ == State::failed) return false;
        piece = std::move(piece_);
        state_ = State::idle;
      }
      if (!sink(piece)) return false;
    }
  }

  // Loop side.
  void deliver(std::string piece) { settle(State::piece, std::move(piece)); }
  void end() { settle(State::end, {}); }
  void fail() { settle(State::failed, {}); }

 private:
  void settle(State s, std::string piece) {
    {
      std::lock_guard l(mu_);
      if (state_ == State::failed || state_ == State::end) return;
      state_ = s;
      piece_ = std::move(piece);
    }
    cv_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  State state_ = State::idle;
  std::string piece_;
  bool used_ = false;
};

class Session;

// Everything the server holds. HttpServer::Impl is this under the name the
// public header forward-declares, so Beast and Asio stay out of that header.
struct Server {
  explicit Server(ServerOptions o) : options(std::move(o)), workers(options.workers ? options.workers : 1) {}

  void accept();
  void admit(Socket socket);
  // Closes every connection whose deadline has passed, then again later.
  void sweep();
  // The oldest connection waiting for a request: `peer`'s, or when empty,
  // that of the peer holding the most connections. Null when none waits.
  std::shared_ptr<Session> eviction_candidate(const std::string& peer);
  void add(Session* s);
  void remove(Session* s);
  // Takes `bytes` of the buffered-body budget; false (and nothing taken)
  // when that would go past it.
  bool reserve_body(std::uint64_t bytes);
  void release_body(std::uint64_t bytes) { buffered_bodies.fetch_sub(bytes); }
  void stop();

  ServerOptions options;
  std::string host;
  int port = 0;

  // Connections, touched by the loop (and by a session's destructor).
  mutable std::mutex reg_mu;
  std::condition_variable reg_cv;
  std::unordered_set<Session*> sessions;
  std::unordered_map<std::string, std::size_t> per_peer;

  // One io_context per loop thread; a connection stays on one loop, the
  // first loop also accepts. Declared after the registry: handlers still
  // queued when a loop is destroyed hold sessions, which unregister
  // themselves.
  std::vector<std::unique_ptr<net::io_context>> loops;
  std::vector<net::executor_work_guard<net::io_context::executor_type>> guards;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<net::steady_timer> accept_retry;
  std::unique_ptr<net::steady_timer> sweep_timer;  // first loop only
  std::size_t next_loop = 0;         // first loop only
  bool accept_error_logged = false;  // first loop only
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> buffered_bodies{0};
  std::atomic<std::int64_t> budget_warned{0};  // Clock ticks of the last warning
  net::thread_pool workers;
  std::vector<std::thread> threads;
  std::mutex stop_mu;
  bool stopped = false;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  enum class Phase { waiting, handling, writing };

  Session(Server& server, Socket socket, std::string peer)
      : server_(server), stream_(std::move(socket)), peer_(std::move(peer)) {}
  ~Session() {
    release_body();
    server_.remove(this);
  }

  Executor executor() { return stream_.get_executor(); }

  const std::string& peer() const { return peer_; }
  // Read from other loops (eviction, stop); written on this one.
  Phase phase() const { return phase_; }
  Clock::time_point since() const { return since_; }
  bool closed() const { return closed_; }
  // Claims the connection for eviction; false when already claimed.
  bool claim() { return !evicting_.exchange(true); }
  // True once, for the sweep that first finds the deadline passed.
  bool expired(std::int64_t now) {
    return deadline_.load(std::memory_order_relaxed) <= now && !timed_out_.exchange(true);
  }

  // From any thread: close() on this connection's loop.
  void close_soon() {
    net::post(stream_.get_executor(), [self = shared_from_this()] { self->close(); });
  }
  // From any thread, when the server stops: close unless an answer is being
  // produced (a route still waiting for body bytes gets a failed read).
  void stop_soon() {
    net::post(stream_.get_executor(), [self = shared_from_this()] {
      if (self->phase_ != Phase::handling || self->streaming_body()) self->close();
    });
  }
  // A route is waiting for body bytes from this connection.
  bool streaming_body() const { return pipe_ && !body_complete_; }

  void start() {
    beast::error_code ec;
    stream_.set_option(tcp::no_delay(true), ec);
    wait_for_request();
  }

  // Ends the connection now; pending reads and writes complete with errors.
  void close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ec;
    stream_.shutdown(tcp::socket::shutdown_both, ec);
    stream_.close(ec);
    if (pipe_) pipe_->fail();
    server_.remove(this);
  }

 private:
  const Limits& limits() const { return server_.options.limits; }

  // The sweep closes the connection once `d` has passed from now.
  void expires_after(std::chrono::milliseconds d) {
    deadline_.store(ticks(Clock::now() + d), std::memory_order_relaxed);
  }
  void expires_never() { deadline_.store(NO_DEADLINE, std::memory_order_relaxed); }

  void wait_for_request() {
    release_body();
    phase_ = Phase::waiting;
    since_ = Clock::now();
    req_.reset();
    pipe_.reset();
    body_complete_ = false;
    continue_sent_ = false;
    if (closed_) return;
    if (buffer_.size() > 0) return read_header();  // a pipelined request is already here
    expires_after(limits().idle_timeout);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->close();
                              self->buffer_.commit(n);
                              self->read_header();
                            });
  }

  void read_header() {
    // The request's deadline runs from its first byte to its last.
    expires_after(limits().request_timeout);
    head_.emplace();
    head_->header_limit(static_cast<std::uint32_t>(
        std::min<std::size_t>(limits().max_header_bytes, std::numeric_limits<std::uint32_t>::max())));
    head_->body_limit(limits().max_body_bytes);
    http::async_read_header(stream_, buffer_, *head_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              self->on_header(ec);
                            });
  }

  void on_header(beast::error_code ec) {
    if (ec == http::error::header_limit) return reject(431);
    if (ec == http::error::body_limit) return reject(413);
    if (ec == http::error::end_of_stream || ec == http::error::partial_message) return close();
    if (is_http_error(ec)) return reject(400);
    if (ec) return close();

    auto& h = head_->get();
    // A Transfer-Encoding that does not end in chunked leaves the body's end
    // unknown; read as "no body", its bytes would run as a second request.
    // Only chunked alone is understood; anything else is refused and ends
    // the connection.
    if (!transfer_encoding_understood(h)) return reject(400);
    Request req;
    std::size_t fields = 0;
    for (auto& f : h) {
      if (++fields > limits().max_header_fields) return reject(431);
      req.headers.add(std::string(f.name_string()), std::string(f.value()));
    }
    req.method = std::string(h.method_string());
    req.target = std::string(h.target());
    req.path = req.target.substr(0, req.target.find('?'));
    req.peer_address = peer_;
    if (auto n = head_->content_length()) req.content_length = *n;
    version_ = h.version();
    keep_alive_ = h.keep_alive();
    auto expect = h[http::field::expect];
    expect_continue_ = iequals(std::string_view(expect.data(), expect.size()), "100-continue");
    req_ = std::move(req);

    if (server_.options.streams_body && server_.options.streams_body(*req_)) return stream_body();
    if (head_->is_done()) {
      body_complete_ = true;
      return dispatch(false);
    }
    read_whole_body();
  }

  // Sends "100 Continue" first when the client waits for it.
  template <class Next>
  void then_continue(Next next) {
    if (!expect_continue_ || continue_sent_) return next();
    continue_sent_ = true;
    net::async_write(stream_, net::buffer(CONTINUE, sizeof CONTINUE - 1),
                     [self = shared_from_this(), next = std::move(next)](beast::error_code ec, std::size_t) {
                       if (ec) return self->close();
                       next();
                     });
  }

  void release_body() {
    server_.release_body(reserved_);
    reserved_ = 0;
  }

  void read_whole_body() {
    const std::uint64_t size = req_->content_length.value_or(limits().max_body_bytes);
    const std::uint64_t charge = size > LARGE_BODY ? size - LARGE_BODY : 0;
    if (charge > 0) {
      if (!server_.reserve_body(charge)) return reject(503);
      reserved_ = charge;
    }
    body_.emplace(std::move(*head_));
    body_->body_limit(limits().max_body_bytes);
    then_continue([self = shared_from_this()] {
      http::async_read(self->stream_, self->buffer_, *self->body_,
                       [self](beast::error_code ec, std::size_t) {
                         if (ec == http::error::body_limit) return self->reject(413);
                         if (ec == http::error::end_of_stream || ec == http::error::partial_message)
                           return self->close();
                         if (is_http_error(ec)) return self->reject(400);
                         if (ec) return self->close();
                         self->req_->body = std::move(self->body_->get().body());
                         self->body_.reset();
                         self->body_complete_ = true;
                         self->dispatch(self->req_->body.size() > LARGE_BODY);
                       });
    });
  }

  void stream_body() {
    pieces_.emplace(std::move(*head_));
    pieces_->body_limit(limits().max_body_bytes);
    pipe_ = std::make_shared<BodyPipe>();
    std::weak_ptr<Session> weak = weak_from_this();
    auto ex = stream_.get_executor();
    req_->read_body = [pipe = pipe_, weak, ex](const BodySink& sink) {
      return pipe->read(sink, [pipe, weak, ex] {
        net::post(ex, [pipe, weak] {
          if (auto self = weak.lock()) self->read_piece();
          else pipe->fail();
        });
      });
    };
    dispatch(true);
  }

  // Loop side of BodyPipe: reads the next piece of a streamed body.
  void read_piece() {
    if (closed_ || !pipe_) {
      if (pipe_) pipe_->fail();
      return;
    }
    if (pieces_->is_done()) return body_done();
    then_continue([self = shared_from_this()] {
      auto& body = self->pieces_->get().body();
      self->piece_buf_.resize(BODY_CHUNK);
      body.data = self->piece_buf_.data();
      body.size = self->piece_buf_.size();
      http::async_read(self->stream_, self->buffer_, *self->pieces_,
                       [self](beast::error_code ec, std::size_t) {
                         if (ec == http::error::need_buffer) ec = {};
                         if (ec) return self->pipe_->fail();
                         std::size_t got = self->piece_buf_.size() - self->pieces_->get().body().size;
                         if (got == 0 && self->pieces_->is_done()) return self->body_done();
                         self->pipe_->deliver(std::string(self->piece_buf_.data(), got));
                       });
    });
  }

  // A streamed body has all arrived: the request's deadline is met, and the
  // route may now take as long as it needs (a voice note in transcription).
  void body_done() {
    body_complete_ = true;
    expires_never();
    pipe_->end();
  }

  // Runs the handler inline or on a worker; the answer is written on the loop.
  void dispatch(bool on_worker) {
    phase_ = Phase::handling;
    if (!pipe_) expires_never();  // a streamed body still reads under the request's deadline
    if (!on_worker) {
      Answer a = run_handler();
      if (!is_run_on_worker(a)) return answer(std::move(a));
    }
    // The workers are being joined: nothing new for them.
    if (server_.stopping) return close();
    req_->on_worker = true;
    net::post(server_.workers, [self = shared_from_this()] {
      Answer a = self->run_handler();
      if (is_run_on_worker(a)) {
        log::error("Unhandled error on " + self->req_->method + " " + self->req_->path +
                   ": the handler asked for a worker while on one");
        a = error_answer(500);
      }
      net::post(self->stream_.get_executor(),
                [self, a = std::move(a)]() mutable { self->answer(std::move(a)); });
    });
  }

  Answer run_handler() {
    const Request& req = *req_;
    std::string what;
    try {
      if (!server_.options.handler) return error_answer(404);
      return server_.options.handler(req);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "unknown error";
    }
    log::error("Unhandled error on " + req.method + " " + req.path + ": " + what);
    return error_answer(500);
  }

  void answer(Answer a) {
    if (closed_) return;
    if (pipe_) pipe_->fail();  // the route is done with the body, read or not
    const bool keep = keep_alive_ && body_complete_ && !server_.stopping;
    write(std::move(a), keep);
  }

  // Answers a request the server itself refuses, and ends the connection.
  void reject(int status) {
    version_ = 11;
    write(error_answer(status), false);
  }

  void write(Answer a, bool keep) {
    phase_ = Phase::writing;
    // The route is done with the body: its memory and its share of the budget go now.
    if (req_) std::string().swap(req_->body);
    release_body();
    out_ = render_answer(a, version_ ? version_ : 11, keep);
    expires_after(server_.stopping ? STOP_GRACE : limits().request_timeout);
    net::async_write(stream_, net::buffer(out_), [self = shared_from_this(), keep](beast::error_code ec, std::size_t) {
      self->out_.clear();
      if (ec) return self->close();
      if (keep) return self->wait_for_request();
      self->linger();
    });
  }

  // Half-closes, then drops what the client still sends until it closes too
  // or LINGER passes; closing with unread bytes would reset the connection
  // and could destroy the answer before the client reads it.
  void linger() {
    phase_ = Phase::waiting;
    since_ = Clock::now();
    if (server_.stopping) return close();
    beast::error_code ec;
    stream_.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) return close();
    buffer_.consume(buffer_.size());
    expires_after(LINGER);
    drain();
  }

  void drain() {
    stream_.async_read_some(buffer_.prepare(BODY_CHUNK),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->close();
                              self->buffer_.consume(self->buffer_.size());
                              self->drain();
                            });
  }

  Server& server_;
  Socket stream_;
  beast::flat_buffer buffer_;
  const std::string peer_;
  std::atomic<Phase> phase_{Phase::waiting};
  std::atomic<Clock::time_point> since_{Clock::now()};
  std::atomic<bool> closed_{false};
  std::atomic<bool> evicting_{false};
  std::atomic<std::int64_t> deadline_{NO_DEADLINE};
  std::atomic<bool> timed_out_{false};

  std::optional<http::request_parser<http::empty_body>> head_;
  std::optional<http::request_parser<http::string_body>> body_;
  std::optional<http::request_parser<http::buffer_body>> pieces_;
  std::vector<char> piece_buf_;
  std::shared_ptr<BodyPipe> pipe_;
  std::optional<Request> req_;
  std::string out_;  // the answer being written
  std::uint64_t reserved_ = 0;  // of the buffered-body budget, for this request
  unsigned version_ = 11;
  bool keep_alive_ = false;
  bool body_complete_ = false;
  bool expect_continue_ = false;
  bool continue_sent_ = false;
};

}  // namespace

struct HttpServer::Impl : Server {
  using Server::Server;
};

void Server::add(Session* s) {
  std::lock_guard l(reg_mu);
  sessions.insert(s);
  ++per_peer[s->peer()];
}

bool Server::reserve_body(std::uint64_t bytes) {
  const std::uint64_t cap = options.limits.max_buffered_bodies;
  std::uint64_t held = buffered_bodies.load();
  do {
    if (bytes > cap || held > cap - bytes) {
      const std::int64_t now = ticks(Clock::now());
      std::int64_t last = budget_warned.load();
      const std::int64_t every = std::chrono::duration_cast<Clock::duration>(BUDGET_WARNING_EVERY).count();
      if ((last == 0 || now - last >= every) && budget_warned.compare_exchange_strong(last, now))
        log::warning("Request bodies waiting in memory reached " + std::to_string(cap >> 20) +
                     " MiB: large requests are refused with 503 until others finish");
      return false;
    }
  } while (!buffered_bodies.compare_exchange_weak(held, held + bytes));
  return true;
}

void Server::remove(Session* s) {
  {
    std::lock_guard l(reg_mu);
    if (sessions.erase(s) == 0) return;
    auto it = per_peer.find(s->peer());
    if (it != per_peer.end() && --it->second == 0) per_peer.erase(it);
  }
  reg_cv.notify_all();
}

std::shared_ptr<Session> Server::eviction_candidate(const std::string& peer) {
  // Sessions found here are released after the lock: the last reference to
  // one unregisters it, which takes the lock.
  std::vector<std::shared_ptr<Session>> passed;
  std::lock_guard l(reg_mu);
  std::string from = peer;
  if (from.empty()) {
    std::size_t most = 0;
    for (auto& [p, n] : per_peer)
      if (n > most) most = n, from = p;
  }
  for (;;) {
    Session* best = nullptr;
    for (Session* s : sessions) {
      if (s->closed() || s->phase() != Session::Phase::waiting || s->peer() != from) continue;
      if (!best || s->since() < best->since()) best = s;
    }
    if (!best) return nullptr;
    auto sp = best->weak_from_this().lock();
    if (!sp) return nullptr;  // being destroyed: it unregisters itself
    if (sp->claim()) return sp;
    passed.push_back(std::move(sp));
    // Claimed by an earlier eviction: it goes anyway and no longer counts.
    sessions.erase(best);
    auto it = per_peer.find(best->peer());
    if (it != per_peer.end() && --it->second == 0) per_peer.erase(it);
  }
}

void Server::sweep() {
  const auto& l = options.limits;
  const auto period = std::clamp(std::min(l.request_timeout, l.idle_timeout) / 10,
                                 std::chrono::milliseconds(10), SWEEP_PERIOD);
  sweep_timer->expires_after(period);
  sweep_timer->async_wait([this](beast::error_code ec) {
    if (ec) return;
    const std::int64_t now = ticks(Clock::now());
    std::vector<std::shared_ptr<Session>> due;
    {
      std::lock_guard lock(reg_mu);
      for (Session* s : sessions)
        if (s->expired(now))
          if (auto sp = s->weak_from_this().lock()) due.push_back(std::move(sp));
    }
    for (auto& s : due) s->close_soon();
    due.clear();
    sweep();
  });
}

void Server::admit(Socket socket) {
  beast::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  if (ec) return;
  std::string peer = endpoint.address().to_string();
  std::size_t from_peer = 0, total = 0;
  {
    std::lock_guard l(reg_mu);
    total = sessions.size();
    auto it = per_peer.find(peer);
    if (it != per_peer.end()) from_peer = it->second;
  }
  const Limits& limits = options.limits;
  if (from_peer >= limits.max_connections_per_peer || total >= limits.max_connections) {
    // Make room by closing the longest-waiting connection of the peer that
    // holds too many; a new client is never locked out by waiting sockets.
    auto victim = eviction_candidate(from_peer >= limits.max_connections_per_peer ? peer : "");
    if (!victim) {
      socket.close(ec);
      return;
    }
    victim->close_soon();
  }
  auto session = std::make_shared<Session>(*this, std::move(socket), std::move(peer));
  add(session.get());
  net::post(session->executor(), [session] { session->start(); });
}

void Server::accept() {
  // Connections go to the loops in turn.
  net::io_context& loop = *loops[next_loop];
  next_loop = (next_loop + 1) % loops.size();
  acceptor->async_accept(loop.get_executor(), [this](beast::error_code ec, Socket socket) {
    if (stopping || !acceptor->is_open()) return;
    const bool out_of_descriptors =
        ec == net::error::no_descriptors || ec == boost::system::errc::too_many_files_open_in_system;
    if (out_of_descriptors) {
      // Idle sockets must not lock the owner out: the longest-waiting
      // connection goes, as at the cap, and its descriptor takes the new one.
      if (auto victim = eviction_candidate("")) {
        net::post(victim->executor(), [this, victim] {
          victim->close();
          net::post(*loops[0], [this] {
            if (!stopping) accept();
          });
        });
        return;
      }
    }
    if (out_of_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory) {
      // Nothing to close: retry shortly instead of spinning.
      if (!accept_error_logged) log::error("HTTP server cannot accept connections: " + ec.message());
      accept_error_logged = true;
      accept_retry->expires_after(std::chrono::milliseconds(50));
      accept_retry->async_wait([this](beast::error_code wait_ec) {
        if (!wait_ec) accept();
      });
      return;
    }
    if (!ec) admit(std::move(socket));
    accept();
  });
}

std::size_t connection_cap(std::uint64_t open_files) {
  constexpr std::uint64_t HELD_BACK = 64, MOST = 1024, LEAST = 16;
  if (open_files <= HELD_BACK + LEAST) return LEAST;
  return static_cast<std::size_t>(std::min(MOST, open_files - HELD_BACK));
}

void Server::stop() {
  std::lock_guard lock(stop_mu);
  if (stopped) return;
  stopped = true;
  if (threads.empty()) return;
  stopping = true;
  std::promise<void> closed;
  net::post(*loops[0], [this, &closed] {
    beast::error_code ec;
    acceptor->close(ec);
    accept_retry->cancel();
    closed.set_value();
  });
  closed.get_future().wait();
  // Everything but the answers being produced goes now.
  std::vector<std::shared_ptr<Session>> all;
  {
    std::lock_guard l(reg_mu);
    for (Session* s : sessions)
      if (auto sp = s->weak_from_this().lock()) all.push_back(std::move(sp));
  }
  for (auto& s : all) s->stop_soon();
  all.clear();
  workers.join();
  {
    std::unique_lock l(reg_mu);
    reg_cv.wait_for(l, STOP_GRACE, [&] { return sessions.empty(); });
  }
  for (auto& loop : loops) loop->stop();
  for (auto& t : threads) t.join();
  guards.clear();
}

HttpServer::HttpServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& s = *impl_;
  s.host = s.options.host;
  std::size_t loops = s.options.loops;
  if (loops == 0) loops = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
  for (std::size_t i = 0; i < loops; ++i) s.loops.push_back(std::make_unique<net::io_context>(1));
  s.acceptor = std::make_unique<tcp::acceptor>(*s.loops[0]);
  s.accept_retry = std::make_unique<net::steady_timer>(*s.loops[0]);
  s.sweep_timer = std::make_unique<net::steady_timer>(*s.loops[0]);
  beast::error_code ec;
  tcp::resolver resolver(*s.loops[0]);
  auto found = resolver.resolve(s.host, std::to_string(s.options.port), tcp::resolver::passive, ec);
  if (ec || found.empty())
    throw std::runtime_error("cannot listen on " + s.host + ": " + (ec ? ec.message() : "no address"));
  tcp::endpoint endpoint = found.begin()->endpoint();
  s.acceptor->open(endpoint.protocol(), ec);
  // SO_REUSEADDR only: without SO_REUSEPORT a second server on the same
  // port fails here instead of sharing it silently.
  if (!ec) s.acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) s.acceptor->bind(endpoint, ec);
  if (!ec) s.acceptor->listen(4096, ec);
  if (ec)
    throw std::runtime_error("cannot listen on " + s.host + ":" + std::to_string(s.options.port) +
                             " (address in use or not available: " + ec.message() + ")");
  s.port = s.acceptor->local_endpoint().port();
  for (auto& loop : s.loops) s.guards.push_back(net::make_work_guard(*loop));
  s.accept();
  s.sweep();
  for (auto& loop : s.loops) {
    s.threads.emplace_back([&io = *loop] {
      for (;;) {
        try {
          io.run();
          return;
        } catch (const std::exception& e) {
          log::error(std::string("HTTP server loop: ") + e.what());
        }
      }
    });
  }
}

HttpServer::~HttpServer() { stop(); }

int HttpServer::port() const { return impl_->port; }

std::string HttpServer::url() const {
  const std::string& host = impl_->host;
  const bool ipv6 = host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->port);
}

std::size_t HttpServer::connection_count() const {
  std::lock_guard l(impl_->reg_mu);
  return impl_->sessions.size();
}

std::uint64_t HttpServer::buffered_body_bytes() const { return impl_->buffered_bodies.load(); }

void HttpServer::stop() { impl_->stop(); }

}  // namespace talmo::web
