#include "support/http.hpp"

#include "support/log.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include <memory>
#include <mutex>

namespace talmo::http {

namespace {

// curl_global_init is not thread safe and must run before the first easy
// handle; call_once gives us both.
bool global_init() {
  static std::once_flag once;
  static CURLcode code = CURLE_OK;
  std::call_once(once, [] { code = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return code == CURLE_OK;
}

struct Sink {
  std::string* body;
  std::size_t cap;  // 0: none
  bool over = false;
};

size_t append_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t n = size * count;
  if (sink->cap != 0 && n > sink->cap - std::min(sink->cap, sink->body->size())) {
    sink->over = true;
    return 0;  // makes libcurl abort the transfer with a write error
  }
  try {
    sink->body->append(data, n);
  } catch (...) {
    return 0;
  }
  return n;
}

// The URL without its query, for a log line.
std::string without_query(const std::string& url) { return url.substr(0, url.find('?')); }

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct MimeDeleter {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};

Response transport_failure(std::string text) {
  Response r;
  r.transport_ok = false;
  r.error = std::move(text);
  return r;
}

// The description of a failed transfer: libcurl's text for the code, plus the
// detail of the error buffer when it says more.
std::string describe(CURLcode code, const char* error_buffer) {
  std::string text = curl_easy_strerror(code);
  std::string detail = error_buffer;
  while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
  if (!detail.empty() && detail != text) text += ": " + detail;
  return text;
}

Response perform_unguarded(const Request& request) {
  if (!global_init()) return transport_failure("libcurl could not be initialised");

  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return transport_failure("libcurl could not create a handle");
  CURL* h = easy.get();

  char error_buffer[CURL_ERROR_SIZE] = {0};
  Response response;

  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  // Signals cannot be used for time-outs in a multi-threaded process.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, request.connect_timeout_ms);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, request.timeout_ms);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append_body);
  Sink sink{&response.body, request.max_response_bytes};
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);

  std::unique_ptr<curl_slist, ListDeleter> headers;
  auto add_header = [&headers](const std::string& line) -> bool {
    // Appending returns the head of the list, which stays the same once it exists.
    curl_slist* head = curl_slist_append(headers.get(), line.c_str());
    if (!head) return false;
    if (!headers) headers.reset(head);
    return true;
  };
  for (const auto& [name, value] : request.headers) {
    // A multipart body carries its own Content-Type with the boundary.
    if (!request.mime.empty() && curl_strequal(name.c_str(), "Content-Type")) continue;
    if (!add_header(name + ": " + value)) return transport_failure("out of memory building headers");
  }
  // No "Expect: 100-continue" round trip before large uploads.
  if (!add_header("Expect:")) return transport_failure("out of memory building headers");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

  std::unique_ptr<curl_mime, MimeDeleter> mime;
  if (!request.mime.empty()) {
    mime.reset(curl_mime_init(h));
    if (!mime) return transport_failure("libcurl could not create a multipart body");
    for (const auto& part : request.mime) {
      curl_mimepart* p = curl_mime_addpart(mime.get());
      if (!p) return transport_failure("libcurl could not add a multipart field");
      curl_mime_name(p, part.name.c_str());
      curl_mime_data(p, part.data.data(), part.data.size());
      if (!part.filename.empty()) curl_mime_filename(p, part.filename.c_str());
    }
    curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());
    if (request.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  } else if (request.method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    if (request.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  CURLcode code = curl_easy_perform(h);
  if (sink.over) {
    const std::string text =
        "the answer is larger than " + std::to_string(request.max_response_bytes) + " bytes";
    log::warning("The answer from " + without_query(request.url) + " was cut off: " + text +
                 "; the call counts as failed");
    Response r = transport_failure(text);
    r.too_large = true;
    return r;
  }
  if (code != CURLE_OK) return transport_failure(describe(code, error_buffer));

  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  response.transport_ok = true;
  response.status = status;
  return response;
}

}  // namespace

namespace {

Response perform_guarded(const Request& request) {
  try {
    return perform_unguarded(request);
  } catch (const std::exception& e) {
    return transport_failure(std::string("HTTP request failed: ") + e.what());
  } catch (...) {
    return transport_failure("HTTP request failed");
  }
}

}  // namespace

Response perform(const Request& request) {
  const auto started = std::chrono::steady_clock::now();
  Response response = perform_guarded(request);
  if (log::level() == log::Level::debug) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    // The URL names the service; our URLs carry no secrets (keys travel in headers and bodies).
    const std::string url = request.url.substr(0, request.url.find('?'));
    log::debug("Outbound " + request.method + " " + url + ": " +
               (response.transport_ok ? "HTTP " + std::to_string(response.status) : "failed (" + response.error + ")") +
               " in " + std::to_string(ms) + " ms");
  }
  return response;
}

}  // namespace talmo::http
