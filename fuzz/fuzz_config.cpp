// Fuzzes the configuration file reader on arbitrary file contents: no input
// may crash it, overrun a field or leak.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "support/Basics.h"

static std::unique_ptr<support::TempDir> Work;
static std::string ConfigPath;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  LogLockInit();
  // Under TMPDIR when set, so that the runner removes it even after a crash.
  Work = std::make_unique<support::TempDir>("tarveld-fuzz-config");
  ConfigPath = Work->Path("tarveld.conf");
  // Log lines go nowhere: libFuzzer reports on standard error.
  int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, 1);
  close(devnull);
  return 0;
}

// Every text field must stay terminated within its capacity.
static void CheckTerminated(const char *field, size_t size) {
  if (!memchr(field, '\0', size)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Work->Write("tarveld.conf", std::string(reinterpret_cast<const char *>(data), size));

  ConfigTbl = static_cast<ConfigTable *>(calloc(1, sizeof(ConfigTable)));
  ConfigTbl->log_level = LOG_DEBUG;
  LogConfigure(LOG_DEBUG, 0, 0);
  ConfigLoad(ConfigPath.c_str());

  CheckTerminated(ConfigTbl->socket_protocol, sizeof ConfigTbl->socket_protocol);
  CheckTerminated(ConfigTbl->bind_host, sizeof ConfigTbl->bind_host);
  CheckTerminated(ConfigTbl->bind_port, sizeof ConfigTbl->bind_port);
  CheckTerminated(ConfigTbl->www_route, sizeof ConfigTbl->www_route);
  CheckTerminated(ConfigTbl->default_html, sizeof ConfigTbl->default_html);
  for (const ContentTypeEntry *e = ConfigTbl->content_type; e; e = e->next) {
    CheckTerminated(e->extension, sizeof e->extension);
    CheckTerminated(e->mediaType, sizeof e->mediaType);
  }
  for (const CgiTypeEntry *e = ConfigTbl->cgi_type; e; e = e->next) {
    CheckTerminated(e->program, sizeof e->program);
    CheckTerminated(e->arguments, sizeof e->arguments);
  }
  ConfigRelease();
  return 0;
}
