// What Talmo adds to a photo beyond the model's own time: the webhook (owner
// check, the body read in chunks, the caption decoded), the request built
// (base64, JSON, masking) and sent to a model on loopback that answers at
// once, the answer parsed and the conversation text made. The reference,
// run in the same process against the same server: one bare POST of a body
// as large as that request, the least any client pays to hand the photo over.
#include "core/llm/lexgate/lexgate.hpp"
#include "core/media/media.hpp"
#include "routes/ingrest/ingrest.hpp"
#include "support/http.hpp"
#include "support/log.hpp"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <memory>
#include <thread>

namespace {

using namespace talmo;

// A model that answers every chat completion at once.
class InstantModel {
 public:
  InstantModel() {
    server_.Post("/chat/completions", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"choices": [{"index": 0, "message": {"role": "assistant", "content": )"
                      R"("A receipt from Cafe Central: EUR 12.50."}}]})",
                      "application/json");
    });
    server_.Post("/bare", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"ok": true})", "application/json");
    });
    server_.set_payload_max_length(64 << 20);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~InstantModel() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

InstantModel& model() {
  static InstantModel* m = [] {
    log::set_stderr_enabled(false);
    auto* created = new InstantModel();
    lexgate::Settings s;
    s.api_keys = {"gsk_bench_key_0123456789"};
    s.base_url = created->url();
    lexgate::bind(s);
    ingrest::Bindings b;
    b.master_number = "+1 555 123 4567";
    b.read_photo = media::read_photo;
    b.enqueue_conversation = [](const std::string&, const std::string& text) { benchmark::DoNotOptimize(text.data()); };
    b.send_notice = [](const std::string&, const std::string&) {};
    ingrest::bind(std::move(b));
    return created;
  }();
  return *m;
}

std::string photo(std::size_t size) {
  std::string bytes = "\xFF\xD8\xFF\xE0";
  bytes.resize(size, '\x5A');
  for (std::size_t i = 4; i < size; i += 7) bytes[i] = static_cast<char>(i * 131);
  return bytes;
}

// The whole photo webhook, as the bridge's request arrives in 64 KiB chunks.
void BM_PhotoWebhook(benchmark::State& state) {
  model();
  const std::string image = photo(static_cast<std::size_t>(state.range(0)));
  ingrest::MediaRequest request;
  request.sender = "15551234567";
  request.content_type = "image/jpeg";
  request.caption = "how%20much%20was%20it%3F";
  request.content_length = image.size();
  request.read_body = [&image](const web::BodySink& sink) {
    for (std::size_t at = 0; at < image.size(); at += 64 << 10)
      if (!sink(std::string_view(image).substr(at, 64 << 10))) return false;
    return true;
  };
  for (auto _ : state) {
    const auto answer = ingrest::handle_incoming_image_message(request);
    if (answer.body["status"] != "received") state.SkipWithError("the photo was not received");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_PhotoWebhook)->Arg(100 << 10)->Arg(1 << 20)->Arg(2900 << 10)->Unit(benchmark::kMillisecond);

// The reference: one POST of the vision request's size to the same server.
void BM_BarePostOfTheSameSize(benchmark::State& state) {
  const std::string url = model().url() + "/bare";
  const std::size_t image = static_cast<std::size_t>(state.range(0));
  http::Request request;
  request.url = url;
  request.headers.emplace_back("Content-Type", "application/json");
  request.body.assign((image + 2) / 3 * 4 + 1500, 'A');
  for (auto _ : state) {
    const http::Response res = http::perform(request);
    if (!res.transport_ok || res.status != 200) state.SkipWithError("the bare post failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image));
}
BENCHMARK(BM_BarePostOfTheSameSize)->Arg(100 << 10)->Arg(1 << 20)->Arg(2900 << 10)->Unit(benchmark::kMillisecond);

}  // namespace
