#include "app/cli.hpp"

#include "app/data_commands.hpp"
#include "app/chat.hpp"
#include "app/doctor.hpp"
#include "app/onboard.hpp"
#include "app/serve.hpp"
#include "support/program.hpp"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace talmo::app {

namespace {

// Edits (insert, delete, replace one character) between the two words.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The long options `cmd` knows, with their dashes.
std::vector<std::string> long_options(const CLI::App& cmd) {
  std::vector<std::string> out;
  for (const CLI::Option* opt : cmd.get_options())
    for (const std::string& name : opt->get_lnames()) out.push_back("--" + name);
  return out;
}

// The first long option among args[from, to) that `cmd` does not know. The
// value after an option that takes one is skipped, and "--" ends the options.
std::optional<std::string> unknown_option(CLI::App& cmd, const std::vector<std::string>& args, std::size_t from,
                                          std::size_t to) {
  for (std::size_t i = from; i < to && i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (arg.rfind("--", 0) != 0) continue;
    const std::string name = arg.substr(0, arg.find('='));
    const CLI::Option* opt = cmd.get_option_no_throw(name);
    if (!opt) return name;
    if (arg.find('=') == std::string::npos && opt->get_items_expected_min() > 0) ++i;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> did_you_mean(std::string_view word, const std::vector<std::string>& known) {
  std::optional<std::string> best;
  // A slip, not a different word: at most 2 edits, or a quarter of a long word.
  std::size_t best_distance = std::max<std::size_t>(2, word.size() / 4) + 1;
  for (const std::string& candidate : known) {
    const std::size_t d = edit_distance(word, candidate);
    if (d < best_distance) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

int run_cli(int argc, char** argv, std::string_view version) {
  program::started_as(argc > 0 && argv[0] ? argv[0] : "");
  CLI::App cli{"Talmo: a personal WhatsApp assistant for its owner.", "talmo"};
  cli.set_version_flag("--version", "talmo " + std::string(version));
  cli.require_subcommand(1);

  auto* serve_cmd = cli.add_subcommand(
      "serve", "Start the HTTP server for the bridge and the background conversation runner");
  std::string config_file;
  serve_cmd->add_option("--config", config_file,
                        "Configuration file (default: $TALMO_CONFIG, else $TALMO_HOME/config.toml)");

  auto* chat_cmd = cli.add_subcommand(
      "chat", "Talk to Talmo on the console: one message per line, replies on standard output");
  std::string chat_config;
  chat_cmd->add_option("--config", chat_config, "Configuration file");

  auto* doctor_cmd = cli.add_subcommand("doctor", "Check the set-up and say how to fix what is wrong");
  std::string doctor_config;
  doctor_cmd->add_option("--config", doctor_config, "Configuration file");

  auto* onboard_cmd = cli.add_subcommand(
      "onboard", "Set Talmo up: owner number, API keys, identity; greets the owner");
  OnboardFlags flags;
  std::string onboard_config, master, tavily, bot_name, owner, tone, response_type, timezone;
  onboard_cmd->add_option("--config", onboard_config, "Configuration file to write");
  auto* master_opt = onboard_cmd->add_option("--master-number", master, "The owner's WhatsApp number");
  onboard_cmd->add_option("--groq-key", flags.groq_keys, "A Groq API key (repeat for several)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  auto* tavily_opt = onboard_cmd->add_option("--tavily-key", tavily, "A Tavily API key for web search");
  auto* bot_opt = onboard_cmd->add_option("--bot-name", bot_name, "The assistant's name (Talmo)");
  auto* owner_opt = onboard_cmd->add_option("--owner", owner, "How the assistant addresses the owner (Boss)");
  auto* tone_opt = onboard_cmd->add_option("--tone", tone, "The assistant's tone (Professional)");
  auto* response_opt = onboard_cmd->add_option("--response-type", response_type, "Response type (Concise)");
  auto* zone_opt = onboard_cmd->add_option("--timezone", timezone, "IANA time zone (the machine's)");
  onboard_cmd->add_flag("--yes", flags.yes, "Ask nothing: take every value from the flags");
  onboard_cmd->add_flag("--no-check", flags.no_check, "Do not try the Groq keys");
  onboard_cmd->add_flag("--accept-number", flags.accept_number,
                        "With --yes: take a master number that is not valid for its country as it is");

  const DataCommands data_commands(cli);
  // A mistyped command or option gets the nearest known one, not a parser's complaint.
  const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  std::vector<std::string> commands;
  for (const CLI::App* sub : cli.get_subcommands({})) commands.push_back(sub->get_name());
  auto usage_error = [](const std::string& what, const std::optional<std::string>& meant, const std::string& see) {
    std::cerr << "talmo: " << what;
    if (meant) std::cerr << "; did you mean \"" << *meant << "\"?";
    std::cerr << " (see " << program::command(see) << ")" << std::endl;
    return 2;
  };
  if (!args.empty() && args[0].rfind("-", 0) == 0) {
    if (auto unknown = unknown_option(cli, args, 0, 1))
      return usage_error("unknown option \"" + *unknown + "\"", did_you_mean(*unknown, long_options(cli)), "--help");
  } else if (!args.empty()) {
    CLI::App* sub = nullptr;
    for (CLI::App* candidate : cli.get_subcommands({}))
      if (candidate->get_name() == args[0]) sub = candidate;
    if (!sub) {
      auto meant = did_you_mean(args[0], commands);
      std::string what = "unknown command \"" + args[0] + "\"";
      if (!meant) {
        what += "; the commands are: ";
        for (std::size_t i = 0; i < commands.size(); ++i) what += (i ? ", " : "") + commands[i];
      }
      return usage_error(what, meant, "--help");
    }
    if (auto unknown = unknown_option(*sub, args, 1, args.size()))
      return usage_error("unknown option \"" + *unknown + "\"", did_you_mean(*unknown, long_options(*sub)),
                         args[0] + " --help");
  }

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end here with exit code 0.
    if (e.get_exit_code() == 0) return cli.exit(e);
    std::cerr << "talmo: " << e.what() << " (see " << program::command("--help") << ")" << std::endl;
    return 2;
  }

  if (auto code = data_commands.run()) return *code;
  if (serve_cmd->parsed()) {
    std::optional<std::filesystem::path> path;
    if (!config_file.empty()) path = config_file;
    return serve(path);
  }
  auto path_of = [](const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::filesystem::path>(text);
  };
  if (chat_cmd->parsed()) {
    const bool terminal = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    return chat(path_of(chat_config), config::process_environment(), ChatConsole{std::cin, std::cout, terminal});
  }
  if (doctor_cmd->parsed()) return doctor(path_of(doctor_config), config::process_environment(), std::cout);
  if (onboard_cmd->parsed()) {
    auto take = [](CLI::Option* opt, const std::string& value) {
      return opt->count() > 0 ? std::optional<std::string>(value) : std::nullopt;
    };
    if (!onboard_config.empty()) flags.config_path = onboard_config;
    flags.master_number = take(master_opt, master);
    flags.tavily_key = take(tavily_opt, tavily);
    flags.bot_name = take(bot_opt, bot_name);
    flags.owner = take(owner_opt, owner);
    flags.tone = take(tone_opt, tone);
    flags.response_type = take(response_opt, response_type);
    flags.timezone = take(zone_opt, timezone);
    return onboard(flags, config::process_environment(), OnboardTerminal{std::cin, std::cout, std::cerr, {}});
  }
  return 2;
}

}  // namespace talmo::app
