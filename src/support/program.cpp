#include "support/program.hpp"

namespace talmo::program {

namespace {

std::string& recorded() {
  static std::string name = "talmo";
  return name;
}

bool shell_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("/._-+:@%,=").find(c) != std::string_view::npos;
}

}  // namespace

std::string name_for(std::string_view argv0) {
  if (argv0.empty()) return "talmo";
  bool safe = true;
  for (char c : argv0) safe = safe && shell_safe(c);
  if (safe) return std::string(argv0);
  std::string quoted = "'";
  for (char c : argv0) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

void started_as(std::string_view argv0) { recorded() = name_for(argv0); }

const std::string& name() { return recorded(); }

std::string command(std::string_view args) {
  if (args.empty()) return name();
  return name() + " " + std::string(args);
}

}  // namespace talmo::program
