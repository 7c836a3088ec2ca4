// How to name this program in a hint ("run `./build/talmo onboard`"): the way
// the user started it, so that the hint can be copied as it stands. After
// `make run` only ./build/talmo exists, and no `talmo` is on the PATH.
//
// Thread safety: started_as() is called once at start-up, before any thread
// reads the name.
#pragma once

#include <string>
#include <string_view>

namespace talmo::program {

// The name to type for a program started as `argv0`: the path itself when it
// holds a slash ("./build/talmo", "/usr/bin/talmo"), else the bare name as
// the shell found it on the PATH; "talmo" when `argv0` is empty. A path with
// blanks or other characters the shell would read is single-quoted.
std::string name_for(std::string_view argv0);

// Records how this process was started (argv[0]); until then the name is "talmo".
void started_as(std::string_view argv0);

// The program's name as recorded.
const std::string& name();

// The command line to type: name() + " " + `args` ("onboard" gives
// "./build/talmo onboard"); name() alone when `args` is empty.
std::string command(std::string_view args);

}  // namespace talmo::program
