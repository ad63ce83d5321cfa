// SPDX-License-Identifier: MIT
// Opens one device through the hosted seam, as the library does, and holds
// it until its standard input ends. Prints "held", or "refused N" with the
// error code.
#include <cstdio>
#include <string>

#include "hosted.h"
#include "module.h"
#include "os.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hold_device NAME\n");
    return 2;
  }
  namespace os = vkm470::os;
  vkm470::os::hosted::registerResolver(vkm470::sim::imageResolver());
  const std::string path = std::string("\\\\.\\") + argv[1];
  os::Handle device =
      os::CreateFile(path.c_str(), os::kGenericRead | os::kGenericWrite, 0, os::kOpenExisting, 0);
  if (device == os::invalidHandle()) {
    std::printf("refused %lu\n", static_cast<unsigned long>(os::GetLastError()));
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  os::CloseHandle(device);
  return 0;
}
