// Process entry: the LogLock first, then the banner and the runtime
// information, then the server's main routine.
#include <cstdio>

#include "core/Core.h"
#include "log/Log.h"
#include "platform/platform.h"

static void PrintRuntimeInformation() {
  printf("<Runtime Information>\n");
  PlatVersion version{};
  if (PlatVersionQuery(&version) == 0) {
    printf(" - Major Version = %d\n", static_cast<int>(version.majorVersion));
    printf(" - Minor Version = %d\n", static_cast<int>(version.minorVersion));
    printf(" - Build Number = %d\n", static_cast<int>(version.buildNumber));
    printf(" - Platform ID = %d\n", static_cast<int>(version.platformId));
    printf(" - CSD Version = %s\n", version.csdVersion);
  } else {
    printf("Windows version is unknown. (%d)\n", PlatLastError());
  }
}

int ServerEntry(int argc, char **argv) {
  if (LogLockInit() != 0) {
    // Nothing can be logged without the lock: said on the console directly.
    printf("Can not initialize the LogLock. errno=%d\n", PlatLastError());
    fflush(stdout);
    return -1;
  }
  printf("\n");
  printf("================================\n");
  printf("   Starting the Tarvel Server   \n");
  printf("================================\n");
  PrintRuntimeInformation();
  fflush(stdout);
  return TvdMain(argc, argv);
}
