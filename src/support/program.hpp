// How to name this program in a hint ("run `./build/talmo onboard`"): the way
// the user started it, so that the hint can be copied as it stands. After
// `make run` only ./build/talmo exists, and no `talmo` is on the PATH.
//
// Thread safety: started_as() is called once at start-up, before any thread
// reads the name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talmo::program {

// The name to type for a program started as `argv0`: the path itself when it
// holds a slash ("./build/talmo", "/usr/bin/talmo"), else the bare name as
// the shell found it on the PATH; "talmo" when `argv0` is empty. A path with
// blanks or other characters the shell would read is single-quoted.
std::string name_for(std::string_view argv0);

// A system account no one logs in as, such as the service's `talmo` user.
// A hint printed by a process running as it (the service's journal, or
// doctor run through sudo) is typed by someone else, from their own account,
// so it names the account and the data folder the process used.
struct ServiceAccount {
  std::string user;
  std::string talmo_home;  // TALMO_HOME as this process saw it; empty when unset
};

// The account this process runs as, when it is not root and its login shell
// is nologin or false; nullopt for a person's own account.
std::optional<ServiceAccount> service_account();

// name_for(argv0), run as `as` when given: "sudo -u talmo env
// TALMO_HOME=/var/lib/talmo /usr/local/bin/talmo".
std::string name_for(std::string_view argv0, const std::optional<ServiceAccount>& as);

// Records how this process was started (argv[0], and service_account());
// until then the name is "talmo".
void started_as(std::string_view argv0);
void started_as(std::string_view argv0, const std::optional<ServiceAccount>& as);

// The program's name as recorded.
const std::string& name();

// The command line to type: name() + " " + `args` ("onboard" gives
// "./build/talmo onboard"); name() alone when `args` is empty.
std::string command(std::string_view args);

}  // namespace talmo::program
