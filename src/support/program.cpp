#include "support/program.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

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

std::optional<ServiceAccount> service_account() {
  const uid_t uid = ::geteuid();
  if (uid == 0) return std::nullopt;
  const passwd* pw = ::getpwuid(uid);
  if (pw == nullptr || pw->pw_name == nullptr || pw->pw_shell == nullptr) return std::nullopt;
  const std::string_view shell = pw->pw_shell;
  if (!shell.ends_with("/nologin") && !shell.ends_with("/false")) return std::nullopt;
  const char* home = std::getenv("TALMO_HOME");
  return ServiceAccount{pw->pw_name, home ? home : ""};
}

std::string name_for(std::string_view argv0, const std::optional<ServiceAccount>& as) {
  if (!as) return name_for(argv0);
  std::string prefix = "sudo -u " + name_for(as->user) + " ";
  if (!as->talmo_home.empty()) prefix += "env " + name_for("TALMO_HOME=" + as->talmo_home) + " ";
  return prefix + name_for(argv0);
}

void started_as(std::string_view argv0) { started_as(argv0, service_account()); }

void started_as(std::string_view argv0, const std::optional<ServiceAccount>& as) {
  recorded() = name_for(argv0, as);
}

const std::string& name() { return recorded(); }

std::string command(std::string_view args) {
  if (args.empty()) return name();
  return name() + " " + std::string(args);
}

}  // namespace talmo::program
