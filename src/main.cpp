// The talmo executable: hands the command line to the CLI.
#include "app/cli.hpp"

int main(int argc, char** argv) { return talmo::app::run_cli(argc, argv, TALMO_VERSION); }
