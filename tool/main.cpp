// SPDX-License-Identifier: MIT
// vkm470: the everyday module tool. list, info, read, verify, write only what
// changed, erase; one module or many at once.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commands.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv) {
  using namespace vkm470::tool;
#ifdef _WIN32
  // Flash bytes go to standard output as they are (read -o -).
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  CLI::App app{"vkm470: list, inspect (info), read, verify, write and erase VKM470 modules"};
  app.set_version_flag("--version", "vkm470 " VKM470_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  std::unique_ptr<Command> commands[] = {listCommand(),   infoCommand(),  readCommand(),
                                         verifyCommand(), writeCommand(), eraseCommand(),
                                         stationCommand()};
  for (const auto& command : commands) command->attach(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    // A command line the parser refuses is a usage error like the tool's own:
    // "error: " on standard error, the same object under --json.
    Common common;
    common.json = std::any_of(argv + 1, argv + argc,
                              [](const char* arg) { return std::strcmp(arg, "--json") == 0; });
    return reportFailure(
        common, Failure(kUsage, std::string(e.what()) + " (vkm470 --help lists the commands)"));
  }
  for (const auto& command : commands) {
    if (!command->chosen()) continue;
    try {
      return command->run();
    } catch (const Failure& failure) {
      return reportFailure(command->common(), failure);
    }
  }
  return kUsage;
}
