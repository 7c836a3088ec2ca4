// The one outbound HTTP helper (libcurl). Every outbound call of Talmo (Groq,
// Tavily, the bridge) goes through `perform`.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace talmo::http {

// One part of a multipart/form-data body. A part with a file name is sent as
// a file upload with the given bytes.
struct MimePart {
  std::string name;
  std::string data;
  std::string filename;  // empty: an ordinary field
};

struct Request {
  std::string method = "POST";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // e.g. {"Content-Type", "application/json"}
  std::string body;              // ignored when `mime` is non-empty
  std::vector<MimePart> mime;    // non-empty: send multipart/form-data
  long connect_timeout_ms = 10000;
  long timeout_ms = 60000;       // the whole request
  // The largest answer body accepted; 0: no limit. A larger answer aborts
  // the transfer as soon as it passes the limit, so it never sits in memory
  // whole: the call fails (transport_ok false, `too_large` set) with a
  // warning line.
  std::size_t max_response_bytes = 0;
};

struct Response {
  // False when no HTTP answer arrived (connection refused, time-out, bad URL ...);
  // `error` then holds libcurl's description.
  bool transport_ok = false;
  long status = 0;
  std::string body;
  std::string error;
  bool too_large = false;  // the answer passed max_response_bytes
};

// Never throws; thread safe (one easy handle per call).
Response perform(const Request& request);

}  // namespace talmo::http
