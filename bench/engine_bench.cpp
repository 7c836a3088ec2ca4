// The engine's own cost: reply cleaning, prompt filling, and whole
// conversations with instant in-process fakes for the model, Tavily and the
// bridge, on the real SQLite stores in a temporary folder.
#include "core/identity/identity.hpp"
#include "core/interpreter/interpreter.hpp"
#include "core/memory/memory.hpp"
#include "core/prompts/templates/templates.hpp"
#include "core/schedules/schedules.hpp"
#include "core/utils/format_prompt.hpp"
#include "support/clock.hpp"
#include "support/db.hpp"
#include "support/log.hpp"
#include "testing/fakes.hpp"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace talmo;

// A model reply of about `size` bytes: a sentence of prose, then a fenced JSON
// object whose "reply" member carries the bulk (with braces and backticks
// inside, which the cleaner must step over).
std::string fenced_reply(std::size_t size) {
  std::string filler;
  while (filler.size() < size) filler += "Lorem {ipsum} dolor `sit` amet, consectetur. ";
  filler.resize(size);
  return "Here is my answer:\n```json\n{\"thought\": \"t\", \"reply\": \"" + filler +
         "\", \"status\": \"done\", \"actions\": []}\n```\nAnything else?";
}

void BM_CleanJsonResponse(benchmark::State& state) {
  const std::string reply = fenced_reply(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(interpreter::clean_json_response(reply));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(reply.size()));
}
BENCHMARK(BM_CleanJsonResponse)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

// A reply without any fence: the cleaner falls through to the bare-object search.
void BM_CleanJsonResponseUnfenced(benchmark::State& state) {
  std::string reply(static_cast<std::size_t>(state.range(0)), 'x');
  for (std::size_t i = 0; i < reply.size(); i += 64) reply[i] = '{';
  for (auto _ : state) benchmark::DoNotOptimize(interpreter::clean_json_response(reply));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(reply.size()));
}
BENCHMARK(BM_CleanJsonResponseUnfenced)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

long peak_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

long current_rss_kib() {
  std::ifstream f("/proc/self/statm");
  long pages = 0, resident = 0;
  f >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Everything a conversation touches, on a fresh database in a temporary folder.
struct World {
  std::filesystem::path dir;
  std::unique_ptr<db::Database> db;
  std::unique_ptr<identity::IdentityStore> identity;
  std::unique_ptr<memory::ConversationMemory> memory;
  std::unique_ptr<schedules::ScheduleRegistry> registry;
  std::shared_ptr<FakeClock> clock =
      std::make_shared<FakeClock>(std::chrono::sys_days{std::chrono::year{2026} / 12 / 8} +
                                  std::chrono::hours{9});
  std::vector<std::string> script;  // the model's replies for one conversation
  std::size_t next = 0;

  // Answers every search at once with five headlines about its query.
  std::shared_ptr<talmo::testing::FakeSearch> search = std::make_shared<talmo::testing::FakeSearch>();

  World() {
    log::set_stderr_enabled(false);
    char tmpl[] = "/tmp/talmo-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    db = std::make_unique<db::Database>((dir / "talmo.db").string());
    identity = identity::make_sqlite_store(*db);
    memory = memory::make_sqlite_memory(*db, 20);
    registry = schedules::make_sqlite_registry(*db, clock, "Europe/Berlin");
    utils::bind({identity.get(), clock, "Europe/Berlin"});
    search->respond = [](const json& params) -> std::pair<json, std::string> {
      json results = json::array();
      for (int i = 0; i < 5; ++i)
        results.push_back(json{{"title", "Headline " + std::to_string(i)},
                               {"url", "https://example.com/" + std::to_string(i)},
                               {"content", "Something happened in " + params.value("query", "")},
                               {"score", 0.9},
                               {"published_date", "2026-12-08"}});
      return {json{{"query", params.value("query", "")}, {"answer", "A short answer."},
                   {"results", results}},
              ""};
    };
    interpreter::Bindings b;
    b.get_response_with_system = [this](const json&) -> std::optional<std::string> {
      return script.at(next++);
    };
    b.send_message = [](const std::string&, const std::string&) { return true; };
    b.set_typing = [](const std::string&, bool) { return true; };
    b.identity_manager = identity.get();
    b.memory_manager = memory.get();
    b.schedules_manager = registry.get();
    b.web_search_manager = [this] { return search; };
    b.format_prompt = [](std::string_view t) { return utils::format_prompt(t); };
    b.master = "15551234567";
    interpreter::bind(std::move(b));
  }
  ~World() {
    registry.reset();
    memory.reset();
    identity.reset();
    db.reset();
    std::filesystem::remove_all(dir);
  }
  void run(const std::vector<std::string>& replies, const std::string& message) {
    script = replies;
    next = 0;
    search->calls.clear();  // the fake's record is not the engine's memory
    interpreter::handle_conversation("15551234567", message);
  }
};

void report_memory(benchmark::State& state, long rss_before) {
  state.counters["peak_rss_KiB"] = static_cast<double>(peak_rss_kib());
  state.counters["rss_growth_KiB"] = static_cast<double>(current_rss_kib() - rss_before);
}

void BM_WebSearchConversation(benchmark::State& state) {
  World world;
  const std::vector<std::string> replies = {
      R"({"thought": "live info", "module": "web_search", "response": ""})",
      R"({"thought": "search", "reply": "Searching...", "status": "awaiting_data", "actions": [{"module": "web_search", "command": "search", "args": {"query": "news in Pakistan today", "topic": "news", "max_results": 5}}]})",
      "*Today in Pakistan*\n\n1. Headline 0\n2. Headline 1\n\nSource: example.com"};
  world.run(replies, "warm-up");
  long rss_before = current_rss_kib();
  for (auto _ : state) world.run(replies, "what's the news in Pakistan today?");
  report_memory(state, rss_before);
}
BENCHMARK(BM_WebSearchConversation)->Iterations(10000)->Repetitions(3)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

void BM_SchedulesConversation(benchmark::State& state) {
  World world;
  const std::vector<std::string> replies = {
      R"({"thought": "a reminder", "module": "schedules", "response": ""})",
      R"({"thought": "fetch first", "reply": "", "status": "awaiting_data", "actions": [{"module": "schedules", "command": "fetch", "args": ["all"]}]})",
      R"({"thought": "add it", "reply": "Done, Boss. I'll remind you at 6 pm.", "status": "done", "actions": [{"module": "schedules", "command": "add", "args": {"title": "Call mom", "mode": "direct", "fixed_content": "Time to call mom, Boss.", "trigger_type": "date", "trigger_args": {"run_date": "2026-12-08 18:00:00"}}}]})"};
  world.run(replies, "warm-up");
  long rss_before = current_rss_kib();
  for (auto _ : state) {
    world.run(replies, "remind me at 6 pm to call mom");
    // Keep the board at one job so every fetch sees the same registry.
    state.PauseTiming();
    for (const auto& job : world.registry->get_jobs())
      world.registry->remove_job_by_id(job.at("id").get<std::int64_t>());
    state.ResumeTiming();
  }
  report_memory(state, rss_before);
}
BENCHMARK(BM_SchedulesConversation)->Iterations(10000)->Repetitions(3)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

void BM_FormatPrompt(benchmark::State& state) {
  World world;
  for (auto _ : state) benchmark::DoNotOptimize(utils::format_prompt(templates::SCHEDULES_WORKER_PROMPT));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(templates::SCHEDULES_WORKER_PROMPT.size()));
}
BENCHMARK(BM_FormatPrompt);

}  // namespace
