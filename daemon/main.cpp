// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// serialhub: the resident serial-multiplexing daemon.
#include <getopt.h>

#include <cstdio>

#include "daemon/daemon.h"
#include "platform/log.h"
#include "platform/main_loop.h"

using namespace shub::daemon;

namespace {

constexpr char kUsage[] =
    "usage: serialhub [-r FILE] [-v]\n"
    "Cuts the peer device's serial stream (dev/COM7 below $CE_ROOT) into the\n"
    "channels of its route file and hands each frame to the device's processes\n"
    "through the named objects in $CE_OBJECTS.\n"
    "\n"
    "  -r, --routes FILE  read the route table from FILE, not ctl_rt.st beside\n"
    "                     the program\n"
    "  -v, --verbose      a debug line for every frame on stderr\n"
    "  -h, --help         this text\n"
    "  -V, --version      the version\n"
    "\n"
    "SIGHUP reloads the route file; one refused or unreadable keeps the table in use.\n"
    "Exit status: 0 after SIGTERM or SIGINT; 78 when the route file or the\n"
    "objects directory cannot be used; 1 on another start-up failure.\n";

constexpr int kExitUsage = 64;  // EX_USAGE

}  // namespace

int main(int argc, char** argv) {
  // First: every thread inherits the mask, so even an early stop signal
  // waits for the main loop instead of killing the process.
  shub::os::blockStopSignals();
  shub::os::useOneHeap();

  std::string routesPath;
  const option options[] = {{"routes", required_argument, nullptr, 'r'},
                            {"verbose", no_argument, nullptr, 'v'},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, 'V'},
                            {}};
  for (int option; (option = getopt_long(argc, argv, "r:vhV", options, nullptr)) != -1;) {
    switch (option) {
      case 'r': routesPath = optarg; break;
      case 'v': shub::os::setVerboseLog(true); break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      case 'V': std::fputs("serialhub " SERIALHUB_VERSION "\n", stdout); return 0;
      default: std::fputs("try serialhub --help\n", stderr); return kExitUsage;
    }
  }
  if (optind < argc) {
    shub::os::logError("unexpected argument '%s' (try serialhub --help)", argv[optind]);
    return kExitUsage;
  }
  return std::make_unique<Daemon>(routesPath)->run();  // off the stack: the route table is large
}
