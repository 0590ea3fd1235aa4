// Fuzzes the configuration file reader on arbitrary file contents: no input
// may crash it, overrun a field or leak.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ConfigTbl.h"
#include "core/Log.h"

static char ConfigPath[] = "/tmp/tarveld-fuzz-config-XXXXXX";

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  LogLockInit();
  int fd = mkstemp(ConfigPath);
  close(fd);
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
  FILE *file = fopen(ConfigPath, "wb");
  fwrite(data, 1, size, file);
  fclose(file);

  ConfigTbl = static_cast<ConfigTable *>(calloc(1, sizeof(ConfigTable)));
  ConfigTbl->log_level = LOG_DEBUG;
  ConfigLoad(ConfigPath);

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
