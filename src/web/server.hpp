// The HTTP/1.1 server the bridge and local tools talk to: a few event loops
// (one thread each) share every connection, a small pool of worker threads
// runs the routes that block. No thread ever waits on a client.
#pragma once

#include "web/request.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace talmo::web {

// Request bodies above this size are refused by the server itself (413).
inline constexpr std::uint64_t MAX_REQUEST_BODY = 26ull * 1024 * 1024;

// What one connection, and one peer, may hold of the server. The defaults
// suit a server whose only real client is a bridge on the same machine.
struct Limits {
  // Open connections in all. A new connection past the cap closes the
  // oldest one still waiting for (or sending) a request, so idle or
  // slow-sending sockets never lock a new client out. When the process runs
  // out of descriptors before the cap, accepting does the same.
  std::size_t max_connections = 1024;
  // Open connections from one peer address; past it that peer's oldest
  // waiting connection is closed, or the new one when none is waiting.
  std::size_t max_connections_per_peer = 128;
  // From the first byte of a request to its last (headers and body); a
  // connection that has not sent its whole request by then is closed. The
  // same bound applies to writing the answer.
  std::chrono::milliseconds request_timeout{30'000};
  // How long a connection may wait for the first byte of its next request
  // (after connecting, and between keep-alive requests).
  std::chrono::milliseconds idle_timeout{10'000};
  std::size_t max_header_bytes = 16 * 1024;  // request line and fields; past it 431
  std::size_t max_header_fields = 100;       // past it 431
  std::uint64_t max_body_bytes = MAX_REQUEST_BODY;  // past it 413
  // Bytes of request bodies held in memory at once, over all connections,
  // counting only what each body has beyond its first 64 KiB: a small
  // webhook is never refused, while a few peers sending large bodies cannot
  // make the server hold hundreds of them. A body that would go past it is
  // answered 503 before it is read (a body without a declared length counts
  // as max_body_bytes). Bodies that routes read themselves do not count.
  std::uint64_t max_buffered_bodies = 64ull * 1024 * 1024;
};

// The connection cap for a process allowed `open_files` descriptors: 1024,
// or fewer so that 64 descriptors stay free for the database, outbound calls
// and logs (at least 16 connections whatever the limit).
std::size_t connection_cap(std::uint64_t open_files);

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8000;           // 0: an ephemeral port, see HttpServer::port()
  std::size_t workers = 4;   // threads for routes that block (see below)
  // Event-loop threads; a connection stays on one. 0: one per core, at most 4.
  std::size_t loops = 0;
  Limits limits;
  // Answers a request. Runs on the event loop, after the whole body has
  // arrived, so it must return quickly; it runs on a worker thread instead
  // when its body is large (parsing it takes a while), when streams_body()
  // says so, or when it answered run_on_worker() on the loop. May run on several threads at once. An
  // exception it throws is logged at error level and answered 500.
  std::function<Answer(const Request&)> handler;
  // Called with the request's head (no body yet). True: the handler reads
  // the body itself through Request::read_body, may block for long, and so
  // runs on a worker thread. When the handler leaves the body unread, the
  // connection is closed after the answer.
  std::function<bool(const Request& head)> streams_body;
};

// The server listens with TCP_NODELAY on every connection, a backlog of
// 4096, and without SO_REUSEPORT (a busy port is an error). It speaks
// HTTP/1.1 with keep-alive and pipelining: requests on one connection are
// answered one after the other, in order. Malformed requests (among them a
// Transfer-Encoding other than chunked alone) get 400,
// header caps 431, the body cap 413, the cap on buffered bodies 503, each
// {"detail": <reason>}, and the connection is closed. It is ready (bound and answering) when the
// constructor returns.
//
// Thread safety: stop() may be called from any thread, but not from a
// handler.
class HttpServer {
 public:
  // Throws std::runtime_error when the address cannot be bound.
  explicit HttpServer(ServerOptions options);
  ~HttpServer();  // stops as stop() does
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const;
  // "http://127.0.0.1:8000" ("http://[::1]:8000" for IPv6 hosts).
  std::string url() const;
  // Open connections right now (for tests and diagnostics).
  std::size_t connection_count() const;
  // Bytes of the buffered-body budget taken right now (see Limits).
  std::uint64_t buffered_body_bytes() const;

  // Stops accepting and closes every connection that is waiting for or
  // sending a request at once; answers being produced (a voice note in
  // transcription) are finished and sent first. Idempotent.
  void stop();

 private:
  struct Impl;  // defined in server.cpp, with everything Beast and Asio need
  std::unique_ptr<Impl> impl_;
};

}  // namespace talmo::web
