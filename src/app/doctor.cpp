#include "app/doctor.hpp"

#include "app/greeting.hpp"
#include "app/inbox.hpp"
#include "app/outbox.hpp"
#include "core/identity/identity.hpp"
#include "core/llm/lexgate/lexgate.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/usage/usage.hpp"
#include "whatsapp/sendwire/sendwire.hpp"
#include "support/clock.hpp"
#include "support/db.hpp"
#include "support/http.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "support/phone.hpp"
#include "support/program.hpp"
#include "support/tz.hpp"
#include "support/unicode.hpp"

#include <SQLiteCpp/SQLiteCpp.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>

namespace talmo::app {

namespace fs = std::filesystem;
using Verdict = Check::Verdict;

namespace {

Check ok(std::string text) { return {Verdict::ok, std::move(text)}; }
Check warn(std::string text) { return {Verdict::warning, std::move(text)}; }
Check fail(std::string text) { return {Verdict::failed, std::move(text)}; }

std::string octal_mode(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

http::Response get(const std::string& url, const std::string& bearer = "") {
  http::Request req;
  req.method = "GET";
  req.url = url;
  if (!bearer.empty()) req.headers = {{"Authorization", "Bearer " + bearer}};
  req.connect_timeout_ms = 3000;
  req.timeout_ms = 10000;
  return http::perform(req);
}

Check config_file_check(const fs::path& file) {
  struct stat st{};
  if (::stat(file.c_str(), &st) != 0)
    return warn("no configuration file at " + file.string() +
                " (settings come from the environment only): run `" + program::command("onboard") +
                "` to write one");
  if ((st.st_mode & 077) != 0)
    return fail("configuration file " + file.string() + " can be read by other users (mode " +
                octal_mode(st.st_mode) + ") and it holds API keys: run `chmod 600 " + file.string() + "`");
  return ok("configuration file " + file.string() + " parses and is private (mode " + octal_mode(st.st_mode) +
            ")");
}

Check master_check(const std::string& master) {
  if (unicode::trim(master).empty())
    return fail("MASTER_NUMBER is not set: run `" + program::command("onboard") + "`, or set MASTER_NUMBER to your WhatsApp number "
                "with its country code (e.g. \"+1 555 123 4567\")");
  auto owner = phone::parse_international(master);
  if (!owner)
    return fail("MASTER_NUMBER \"" + master + "\" " + phone::NOT_INTERNATIONAL);
  return ok("MASTER_NUMBER is read as " + phone::describe(*owner) + "; only this number is served");
}

// The nearest folder of `path` that exists.
fs::path existing_ancestor(fs::path path) {
  std::error_code ec;
  while (!path.empty() && !fs::exists(path, ec)) {
    const fs::path parent = path.parent_path();
    if (parent == path) break;
    path = parent;
  }
  return path;
}

Check data_folder_check(const fs::path& dir) {
  std::error_code ec;
  if (fs::exists(dir, ec)) {
    if (!fs::is_directory(dir, ec))
      return fail("the data folder " + dir.string() + " is not a folder: move that file away or set TALMO_DATA_DIR");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
      return fail("the data folder " + dir.string() +
                  " is not writable by this user: give it to this user (`chown`) or set TALMO_DATA_DIR");
    return ok("data folder " + dir.string() + " is writable");
  }
  const fs::path parent = existing_ancestor(dir);
  if (::access(parent.c_str(), W_OK | X_OK) != 0)
    return fail("the data folder " + dir.string() + " does not exist and " + parent.string() +
                " is not writable: create the folder for this user or set TALMO_DATA_DIR");
  return warn("data folder " + dir.string() + " does not exist yet: Talmo creates it (mode 0700) when it starts");
}

// component -> schema version, as this binary's stores create them.
std::map<std::string, int> known_schema() {
  db::Database db(":memory:");
  auto identity = identity::make_sqlite_store(db);
  auto memory = memory::make_sqlite_memory(db, 1);
  auto jobs = schedules::make_sqlite_job_store(db, system_clock(), "UTC");
  usage::UsageStore usage(db, system_clock());
  auto inbox = make_sqlite_inbox(db);
  greeting::pending(db);
  OutboxOptions never_started;
  never_started.send = [](const std::string&, const std::string&, const std::string&) { return Delivery::retry; };
  never_started.clock = system_clock();
  Outbox outbox(db, std::move(never_started));
  return db.with([](SQLite::Database& d) {
    std::map<std::string, int> out;
    SQLite::Statement q(d, "SELECT component, version FROM schema_versions");
    while (q.executeStep()) out[q.getColumn(0).getString()] = q.getColumn(1).getInt();
    return out;
  });
}

// A read-only connection to a WAL database creates its -wal and -shm files
// and leaves them behind. When they are absent no writer is active (Talmo
// removes them when it closes the database), so the file is read as
// immutable and nothing is created; otherwise they exist already.
std::string read_only_uri(const fs::path& db_file) {
  std::string uri = "file:";
  for (char c : db_file.string()) {
    if (c == '%') uri += "%25";
    else if (c == '?') uri += "%3f";
    else if (c == '#') uri += "%23";
    else uri += c;
  }
  std::error_code ec;
  if (!fs::exists(db_file.string() + "-wal", ec)) uri += "?immutable=1";
  return uri;
}

std::string groq_key_fix() {
  return "replace it with a working key (https://console.groq.com/keys) using `" + program::command("onboard") + "`";
}

// The checks of each Groq key; fills `models` from the first key accepted.
void groq_checks(const config::Config& config, std::vector<Check>& checks, std::optional<json>& models) {
  if (config.groq_api_keys.empty()) {
    checks.push_back(fail("no Groq API key: every message will be answered with a request to configure one; "
                          "get a key at https://console.groq.com/keys and run `" + program::command("onboard") + "`"));
    return;
  }
  std::optional<std::string> unreachable;
  for (std::size_t i = 0; i < config.groq_api_keys.size(); ++i) {
    const std::string name = "Groq key " + std::to_string(i + 1);
    if (unreachable) {
      checks.push_back(fail(name + " not checked: Groq is unreachable at " + config.groq_base_url + " (" +
                            *unreachable + ")"));
      continue;
    }
    const lexgate::KeyCheck check = lexgate::check_key(config.groq_api_keys[i], config.groq_base_url);
    switch (check.verdict) {
      case lexgate::KeyVerdict::unreachable:
        unreachable = check.error;
        checks.push_back(fail(name + " not checked: Groq is unreachable at " + config.groq_base_url + " (" +
                              check.error + "): check the network, or GROQ_BASE_URL"));
        break;
      case lexgate::KeyVerdict::refused:
        checks.push_back(fail(name + " refused by Groq (HTTP " + std::to_string(check.status) + "): " + groq_key_fix()));
        break;
      case lexgate::KeyVerdict::unknown:
        checks.push_back(warn(name + " could not be checked: Groq answered HTTP " + std::to_string(check.status) +
                              "; try again in a minute"));
        break;
      case lexgate::KeyVerdict::works:
        checks.push_back(ok(name + " accepted by Groq"));
        if (!models) {
          json list = decode_json(check.body, false);
          if (list.is_object() && list.contains("data") && list["data"].is_array()) models = list["data"];
        }
        break;
    }
  }
}

Check model_check(const std::string& setting, const std::string& model, const std::optional<json>& models) {
  if (!models) return warn(setting + " " + model + " not checked: no Groq key was accepted");
  std::vector<std::string> ids;
  for (const auto& m : *models)
    if (m.is_object() && m.contains("id") && m["id"].is_string()) ids.push_back(m["id"].get<std::string>());
  if (std::find(ids.begin(), ids.end(), model) != ids.end()) return ok(setting + " " + model + " is offered by Groq");
  std::string some;
  for (std::size_t i = 0; i < ids.size() && i < 8; ++i) some += (i ? ", " : "") + ids[i];
  return fail(setting + " " + model + " is not offered by Groq: set " + setting + " to one of its models (" +
              some + (ids.size() > 8 ? ", …" : "") + ")");
}

// The bridge's own words about its last error, safe to print on one line.
std::string quoted_detail(const std::optional<std::string>& detail) {
  if (!detail || unicode::trim(*detail).empty()) return "";
  std::string text = log::escape_controls(unicode::first_chars(unicode::trim(*detail), 200));
  if (unicode::length(*detail) > 200) text += "…";
  return " (" + text + ")";
}

// WhatsApp's side, from the state the bridge reports, with the fix that fits it.
Check whatsapp_check(const sendwire::BridgeStatus& status, const fs::path& whatsapp_dir) {
  const std::string number = status.number ? " as +" + *status.number : "";
  const std::string detail = quoted_detail(status.detail);
  const std::string& state = status.state;
  if (state == "connected" || (state.empty() && status.paired && status.connected))
    return ok("WhatsApp is paired" + number + " and connected");
  if (state == "unreachable")
    return fail("WhatsApp cannot be reached from this machine" + detail +
                ": check this machine's internet connection and DNS (can it resolve web.whatsapp.com?), and a "
                "firewall or proxy in the way; the bridge keeps retrying and connects once it gets through");
  if (state == "waiting_for_pairing" || (state.empty() && !status.paired))
    return fail("WhatsApp is not paired; the bridge is waiting for it: scan the QR code in the bridge's output "
                "(also saved as " + (whatsapp_dir / "qr.png").string() +
                ") on the phone with WhatsApp → Linked devices → Link a device; without a camera, restart the "
                "bridge with --pair-code \"<its number with country code>\" and type the code it shows under "
                "Link with phone number instead");
  if (state == "logged_out")
    return fail("WhatsApp logged this bridge out" + number + detail +
                " (the linked device was removed on the phone, or it stayed offline too long): the old session "
                "is gone; pair again with the new QR code the bridge shows (WhatsApp → Linked devices → Link a "
                "device; restart the bridge if none shows)");
  if (state == "replaced")
    return fail("another copy of the bridge took over this WhatsApp session" + number + detail +
                ", so this bridge stopped connecting: stop the other copy (another machine or another `make run` "
                "with the same session folder " + whatsapp_dir.string() + "), then restart this bridge");
  if (state == "outdated")
    return fail("WhatsApp refused this bridge's version" + detail +
                ": update the bridge (`git pull`, then `npm ci` in bridge/, or install a newer Talmo release), "
                "then restart it; it keeps retrying meanwhile");
  if (state == "connecting" || (state.empty() && status.paired))
    return fail("WhatsApp is paired" + number + " but not connected yet: the bridge is connecting" + detail +
                "; run `" + program::command("doctor") +
                "` again in a minute, and if it stays so, read the bridge's log");
  return warn("the bridge reports WhatsApp as \"" + log::escape_controls(unicode::first_chars(state, 40)) + "\"" +
              detail + ", a state this Talmo does not know: read the bridge's log, or update Talmo to match it");
}

Check server_check(const config::Config& config) {
  std::string host = config.host;
  if (host == "0.0.0.0" || host.empty()) host = "127.0.0.1";
  if (host == "::") host = "::1";
  const bool v6 = host.find(':') != std::string::npos;
  const std::string url = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(config.port);
  http::Request req;
  req.method = "GET";
  req.url = url + "/healthz";
  req.connect_timeout_ms = 2000;
  req.timeout_ms = 3000;
  const http::Response res = http::perform(req);
  if (!res.transport_ok)
    return warn("no Talmo server answers at " + url + ": start it with `" + program::command("serve") + "` (the port is free)");
  const json body = decode_json(res.body, false);
  if (res.status == 200 && body == json{{"status", "ok"}}) return ok("a Talmo server already answers at " + url);
  return fail("port " + std::to_string(config.port) + " is taken by another program (HTTP " +
              std::to_string(res.status) + " at " + url + "/healthz): stop it, or set TALMO_PORT to a free port");
}

}  // namespace

std::string render(const Check& check) {
  switch (check.verdict) {
    case Verdict::ok: return "✓ " + check.text;
    case Verdict::warning: return "! " + check.text;
    case Verdict::failed: return "✗ " + check.text;
  }
  return check.text;
}

std::vector<Check> check_database(const fs::path& db_file) {
  std::error_code ec;
  if (!fs::exists(db_file, ec))
    return {warn("no database yet at " + db_file.string() + ": Talmo creates it when it starts")};
  try {
    SQLite::Database db(read_only_uri(db_file), SQLite::OPEN_READONLY | SQLite::OPEN_URI);
    db.setBusyTimeout(5000);
    const std::string integrity = db.execAndGet("PRAGMA integrity_check").getString();
    if (integrity != "ok")
      return {fail(db_file.string() + " is damaged (" + integrity +
                   "): stop Talmo and restore the file from a backup")};
    std::vector<Check> checks{ok(db_file.string() + " passes SQLite's integrity check")};
    const auto failed = failed_since(db, system_clock()->now() - std::chrono::hours(24 * 7));
    checks.push_back((failed ? warn : ok)(std::to_string(failed) + " message(s) to the owner failed in the last 7 days" +
                                          (failed ? " (the log's \"Gave up delivering\" lines say why)" : "")));

    const auto known = known_schema();
    std::vector<std::string> newer;
    if (db.tableExists("schema_versions")) {
      SQLite::Statement q(db, "SELECT component, version FROM schema_versions ORDER BY component");
      while (q.executeStep()) {
        const std::string component = q.getColumn(0).getString();
        const int version = q.getColumn(1).getInt();
        auto it = known.find(component);
        if (it == known.end())
          newer.push_back(component + " (unknown here)");
        else if (version > it->second)
          newer.push_back(component + " " + std::to_string(version) + " (this Talmo knows " +
                          std::to_string(it->second) + ")");
      }
    }
    if (newer.empty()) {
      checks.push_back(ok("its schema is one this Talmo knows"));
    } else {
      std::string list;
      for (std::size_t i = 0; i < newer.size(); ++i) list += (i ? ", " : "") + newer[i];
      checks.push_back(fail("its schema was written by a newer Talmo (" + list +
                            "): update Talmo, or restore a backup made by this version"));
    }
    return checks;
  } catch (const std::exception& e) {
    return {fail(db_file.string() + " cannot be read as a database (" + e.what() +
                 "): stop Talmo and restore the file from a backup")};
  }
}

std::vector<Check> check_bridge(const std::string& url, const std::string& token, const fs::path& whatsapp_dir) {
  // Our bridge refuses /status without the shared token when one is configured.
  const http::Response res = get(url + "/status", token);
  if (!res.transport_ok)
    return {fail("the bridge does not answer at " + url + " (" + res.error +
                 "): start it (`make run` starts it beside Talmo), or set BRIDGE_URL to where it listens")};
  if (res.status == 401 || res.status == 403)
    return {fail("the bridge at " + url + " refused the status request (HTTP " + std::to_string(res.status) +
                 "): Talmo and the bridge must share the same BRIDGE_TOKEN")};
  const json status = decode_json(res.body, false);
  const bool ours = res.status == 200 && status.is_object() && status.contains("connected") &&
                    status["connected"].is_boolean() && status.contains("paired") && status["paired"].is_boolean();
  if (!ours)
    return {warn("something answers at " + url + " (HTTP " + std::to_string(res.status) +
                 ") but not as Talmo's bridge: WhatsApp pairing cannot be checked")};
  return {ok("the bridge answers at " + url), whatsapp_check(sendwire::parse_status(res.body), whatsapp_dir)};
}

std::vector<Check> run_checks(const std::optional<fs::path>& config_path, const config::Environment& env) {
  std::vector<Check> checks;
  config::Config config;
  try {
    config = config::load(config_path, env);
  } catch (const config::ConfigError& e) {
    checks.push_back(fail(std::string("the configuration does not load: ") + e.what() +
                          ": fix that setting, then run `" + program::command("doctor") + "` again"));
    return checks;
  }
  checks.push_back(config_file_check(config.config_file));
  checks.push_back(master_check(config.master_number));
  checks.push_back(data_folder_check(config.data_dir));
  for (auto& c : check_database(config.data_dir / "talmo.db")) checks.push_back(std::move(c));

  const std::string now = tz::format(system_clock()->now(), config.timezone, "%Y-%m-%d %H:%M");
  checks.push_back(ok("time zone " + config.timezone + " (reminders use it; it is " + now +
                      " there now; TALMO_TIMEZONE changes it)"));

  std::optional<json> models;
  groq_checks(config, checks, models);
  checks.push_back(model_check("GROQ_MODEL", config.groq_model, models));
  checks.push_back(model_check("WHISPER_MODEL", config.whisper_model, models));
  // Without the vision model only photos go unread: a warning, not a failure.
  Check vision = model_check("VISION_MODEL", config.vision_model, models);
  if (vision.verdict == Check::Verdict::failed) vision.verdict = Check::Verdict::warning;
  checks.push_back(std::move(vision));

  if (config.tavily_api_key.empty())
    checks.push_back(warn("no Tavily key: web search is off; get a key at https://tavily.com and set "
                          "TAVILY_API_KEY (or run `" + program::command("onboard") + "`)"));
  else
    checks.push_back(ok("Tavily key set (web search is on; the key is tried at the first search)"));

  for (auto& c : check_bridge(config.bridge_url, config.bridge_token, config.home / "whatsapp"))
    checks.push_back(std::move(c));
  checks.push_back(server_check(config));
  return checks;
}

int doctor(const std::optional<fs::path>& config_path, const config::Environment& env, std::ostream& out) {
  bool failed = false;
  for (const Check& check : run_checks(config_path, env)) {
    out << render(check) << '\n';
    failed = failed || check.verdict == Verdict::failed;
  }
  out << std::flush;
  return failed ? 1 : 0;
}

}  // namespace talmo::app
