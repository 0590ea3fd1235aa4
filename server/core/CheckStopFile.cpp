// The stop file: its appearance asks the server to stop. It is consumed by
// the check that sees it; its content is never read.
#include "core/Core.h"
#include "platform/platform.h"

int CheckStopFile() {
  if (!StopFilePath) return 1;
  return PlatUnlink(StopFilePath) == 0 ? 0 : 1;
}
