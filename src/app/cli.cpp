#include "app/cli.hpp"

#include "app/data_commands.hpp"
#include "app/chat.hpp"
#include "app/doctor.hpp"
#include "app/onboard.hpp"
#include "app/serve.hpp"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

namespace talmo::app {

int run_cli(int argc, char** argv, std::string_view version) {
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

  const DataCommands data_commands(cli);
  // A mistyped command gets the list of commands, not a parser's complaint.
  std::string names;
  bool known = false;
  for (const CLI::App* sub : cli.get_subcommands({})) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
    known = known || (argc > 1 && sub->get_name() == argv[1]);
  }
  if (argc > 1 && argv[1][0] != '-' && !known) {
    std::cerr << "talmo: unknown command \"" << argv[1] << "\"; the commands are: " << names
              << " (see talmo --help)" << std::endl;
    return 2;
  }

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end here with exit code 0.
    if (e.get_exit_code() == 0) return cli.exit(e);
    std::cerr << "talmo: " << e.what() << " (see talmo --help)" << std::endl;
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
