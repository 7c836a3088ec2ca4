// A plain HTTP request and answer, independent of any server library: what
// the routes take and give. The server fills a Request from the wire and
// writes the Answer back as JSON.
#pragma once

#include "support/json.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talmo::web {

// Header fields in arrival order, every one kept (repeated names too). Names
// compare case-insensitively (ASCII), as HTTP wants.
class Headers {
 public:
  void add(std::string name, std::string value);
  // The value of the first field named `name`, or nullptr.
  const std::string* find(std::string_view name) const;
  // The first value, or "" when the field is absent.
  std::string get(std::string_view name) const;
  bool has(std::string_view name) const { return find(name) != nullptr; }
  // How many fields carry `name`.
  std::size_t count(std::string_view name) const;
  std::size_t size() const { return fields_.size(); }
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// ASCII case-insensitive equality (header names, tokens such as "chunked").
bool iequals(std::string_view a, std::string_view b);

// Hands each chunk of a request body to the sink, in order. The sink returns
// false to stop reading. The reader returns false when the body was not read
// to its end (stopped by the sink, the request's deadline passed, or the
// connection failed). It blocks the calling thread while bytes are on their
// way.
using BodySink = std::function<bool(std::string_view chunk)>;
using BodyReader = std::function<bool(const BodySink& sink)>;

struct Request {
  std::string method;        // as sent, e.g. "POST"
  std::string target;        // as sent, e.g. "/whatsapp/incoming/text?x=1"
  std::string path;          // the target without its query
  Headers headers;           // every field as sent
  std::string peer_address;  // the connection's peer: "127.0.0.1", "::1", "::ffff:10.0.0.2"
  // The declared body length, when the request gave one.
  std::optional<std::uint64_t> content_length;
  // The whole body, for requests whose body the server reads before the
  // route runs.
  std::string body;
  // For requests whose route reads the body itself (see
  // ServerOptions::streams_body): call at most once. Empty otherwise.
  BodyReader read_body;
  // The handler runs on a worker thread, where it may block; false on the
  // event loop, where it must not (see run_on_worker()).
  bool on_worker = false;
};

// What a route answers: an HTTP status and a JSON body.
struct Answer {
  int status = 200;
  json body;
};

// What a handler on the event loop answers when it finds that it must
// block (a durable write, say): the server calls it again with the same
// request on a worker thread, with on_worker set. Not a valid answer there.
Answer run_on_worker();
bool is_run_on_worker(const Answer& answer);

// {"detail": <the status's reason phrase>}, the body of the server's own
// error answers (404, 413, 431, ...).
Answer error_answer(int status);

}  // namespace talmo::web
