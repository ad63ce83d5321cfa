// vkm470: the everyday module tool. list, info, read, verify, write only what
// changed, erase; one module or many at once.
#include <cstdio>

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
  CLI::App app{"vkm470: list, show, read, verify, write and erase VKM470 modules"};
  app.set_version_flag("--version", "vkm470 " VKM470_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  Common common;
  int status = kDone;
  addList(app, common, status);
  addInfo(app, common, status);
  addRead(app, common, status);
  addVerify(app, common, status);
  addWrite(app, common, status);
  addErase(app, common, status);
  addStation(app, common, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int shown = app.exit(e);
    return shown == 0 ? kDone : kUsage;
  } catch (const Failure& failure) {
    return reportFailure(common, failure);
  }
  return status;
}
