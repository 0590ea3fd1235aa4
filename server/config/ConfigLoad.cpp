// Reads the configuration file line by line into ConfigTbl. Each "key = value"
// line takes effect at once, in file order; a "#" in the first column starts
// a comment and a line without "=" is ignored.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ConfigText.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"

namespace {

struct NamedValue {
  const char *name;
  const int *value;
};

const NamedValue SocketDomains[] = {
    {"AF_UNIX", &PLAT_AF_UNIX},
    {"AF_INET", &PLAT_AF_INET},
    {"AF_INET6", &PLAT_AF_INET6},
    {"AF_IPX", &PLAT_AF_IPX},
};

const NamedValue SocketTypes[] = {
    {"SOCK_STREAM", &PLAT_SOCK_STREAM},
    {"SOCK_DGRAM", &PLAT_SOCK_DGRAM},
    {"SOCK_RAW", &PLAT_SOCK_RAW},
    {"SOCK_RDM", &PLAT_SOCK_RDM},
    {"SOCK_SEQPACKET", &PLAT_SOCK_SEQPACKET},
};

// Looks a value up among the listed words; false when it is not one of them.
template <size_t N>
bool LookupName(const NamedValue (&table)[N], const char *value, int32_t *field) {
  for (const NamedValue &entry : table) {
    if (strcmp(entry.name, value) == 0) {
      *field = *entry.value;
      return true;
    }
  }
  return false;
}

int32_t OnFlag(const char *value) { return strcmp(value, "on") == 0 ? 1 : 0; }

// Integer settings: stored with atoi's rules, without a range check.
struct IntegerKey {
  const char *key;
  int32_t ConfigTable::*field;
};

const IntegerKey IntegerKeys[] = {
    {"log-level", &ConfigTable::log_level},
    {"socket-backlog", &ConfigTable::socket_backlog},
    {"retry-seconds", &ConfigTable::retry_seconds},
    {"buffer-size", &ConfigTable::buffer_size},
    {"loop-cycle-sec", &ConfigTable::loop_cycle_sec},
    {"loop-cycle-usec", &ConfigTable::loop_cycle_usec},
    {"max-connect", &ConfigTable::max_connect},
    {"session-timeout", &ConfigTable::session_timeout},
    {"cgi-exe-timeout", &ConfigTable::cgi_exe_timeout},
    {"cgi-io-timeout", &ConfigTable::cgi_io_timeout},
};

// Text settings: copied and cut to the field's capacity.
struct TextKey {
  const char *key;
  char *(*field)(ConfigTable *);
  size_t size;
};

const TextKey TextKeys[] = {
    {"bind-port", [](ConfigTable *c) { return c->bind_port; }, CONFIG_TEXT_SIZE},
    {"socket-protocol", [](ConfigTable *c) { return c->socket_protocol; }, CONFIG_PROTOCOL_SIZE},
    {"www-route", [](ConfigTable *c) { return c->www_route; }, CONFIG_TEXT_SIZE},
    {"default-html", [](ConfigTable *c) { return c->default_html; }, CONFIG_TEXT_SIZE},
    {"access-log-file", [](ConfigTable *c) { return c->access_log_file; }, CONFIG_TEXT_SIZE},
};

// The log's settings take effect with the line that sets them: a
// log-level line decides which messages of the following lines are written.
void ConfigureLog() {
  LogConfigure(ConfigTbl->log_level, ConfigTbl->time_flag, ConfigTbl->dump_log);
}

// Handles one key/value pair. Returns false when the line is fatal.
bool ConfigApply(const char *key, char *value) {
  for (const IntegerKey &entry : IntegerKeys) {
    if (strcmp(key, entry.key) == 0) {
      ConfigTbl->*entry.field = atoi(value);
      if (entry.field == &ConfigTable::log_level) ConfigureLog();
      return true;
    }
  }
  for (const TextKey &entry : TextKeys) {
    if (strcmp(key, entry.key) == 0) {
      ConfigCopyText(entry.field(ConfigTbl), entry.size, value);
      return true;
    }
  }

  if (strcmp(key, "bind-host") == 0) {
    if (strcmp(value, "*") != 0) {
      ConfigCopyText(ConfigTbl->bind_host, sizeof ConfigTbl->bind_host, value);
    } else if (PlatGetHostName(ConfigTbl->bind_host, sizeof ConfigTbl->bind_host) != 0) {
      LogPrint(LOG_FATAL, "Can not start! (hostname too long...)");
      return false;
    }
  } else if (strcmp(key, "socket-domain") == 0) {
    if (!LookupName(SocketDomains, value, &ConfigTbl->socket_domain)) {
      LogPrint(LOG_FATAL, "%s=%s is not support.", key, value);
      return false;
    }
  } else if (strcmp(key, "socket-type") == 0) {
    if (!LookupName(SocketTypes, value, &ConfigTbl->socket_type)) {
      LogPrint(LOG_FATAL, "%s=%s is not support.", key, value);
      return false;
    }
  } else if (strcmp(key, "time-flag") == 0) {
    ConfigTbl->time_flag = OnFlag(value);
    ConfigureLog();
  } else if (strcmp(key, "dump-log") == 0) {
    ConfigTbl->dump_log = OnFlag(value);
    ConfigureLog();
  } else if (strcmp(key, "access-log2") == 0) {
    ConfigTbl->access_log2 = OnFlag(value);
  } else if (strcmp(key, "content-type") == 0) {
    ContentTypeAdd(&ConfigTbl->content_type, value);
  } else if (strcmp(key, "cgi-type") == 0) {
    CgiTypeAdd(&ConfigTbl->cgi_type, value);
  } else if (strcmp(key, "cgi-standard-type") == 0) {
    CgiStandardTypeAdd(&ConfigTbl->cgi_standard_type, value);
  } else if (strcmp(key, "cgi-max-body") == 0) {
    ConfigTbl->cgi_max_body = strtoll(value, nullptr, 10);
    ConfigTbl->cgi_max_body_set = 1;
  } else if (strcmp(key, "cgi-env") == 0) {
    CgiEnvAdd(&ConfigTbl->cgi_env, value);
  } else if (strcmp(key, "last-modified") == 0) {
    ConfigTbl->last_modified = OnFlag(value);
    ConfigTbl->last_modified_set = 1;
  } else if (strcmp(key, "proxy-protocol") == 0) {
    ConfigTbl->proxy_protocol = OnFlag(value);
    ConfigTbl->proxy_protocol_set = 1;
  } else if (strcmp(key, "proxy-from") == 0) {
    ProxyFromAdd(&ConfigTbl->proxy_from, value);
  } else if (strcmp(key, "cgi-memory-limit") == 0) {
    ConfigTbl->cgi_memory_limit = strtoll(value, nullptr, 10);
    ConfigTbl->cgi_memory_limit_set = 1;
  } else if (strcmp(key, "cgi-process-limit") == 0) {
    ConfigTbl->cgi_process_limit = atoi(value);
    ConfigTbl->cgi_process_limit_set = 1;
  } else if (strcmp(key, "cgi-cpu-limit") == 0) {
    ConfigTbl->cgi_cpu_limit = atoi(value);
    ConfigTbl->cgi_cpu_limit_set = 1;
  } else if (strcmp(key, "HTTP-version") == 0) {
    if (strcmp(value, "0.9") == 0)
      ConfigTbl->HTTP_version = 0;
    else if (strcmp(value, "1.0") == 0)
      ConfigTbl->HTTP_version = 1;
    else if (strcmp(value, "1.1") == 0)
      ConfigTbl->HTTP_version = 2;
    else
      LogPrint(LOG_ERR, "Specified HTTP-version is not supported. (%s)", value);
  } else if (strcmp(key, "support-method") == 0) {
    if (strcmp(value, "GET") == 0)
      ConfigTbl->support_method |= METHOD_GET;
    else if (strcmp(value, "HEAD") == 0)
      ConfigTbl->support_method |= METHOD_HEAD;
    else if (strcmp(value, "POST") == 0)
      ConfigTbl->support_method |= METHOD_POST;
    else
      LogPrint(LOG_WARN, "Unknown support-method : %s", value);
  } else {
    LogPrint(LOG_WARN, "Unknown Config : param=%s value=%s", key, value);
  }
  return true;
}

}  // namespace

int ConfigLoad(const char *path) {
  TRACE_START();
  FILE *file = fopen(path, "r");
  if (!file) {
    LogPrint(LOG_FATAL, "%s was not found!", path);
    TRACE_END();
    return -1;
  }

  char line[1024];
  while (fgets(line, sizeof line, file)) {
    if (line[0] == '#') continue;
    char *equals = strchr(line, '=');
    if (!equals) continue;
    *equals = '\0';
    char *key = TrimString(line);
    char *value = TrimString(equals + 1);
    if (!ConfigApply(key, value)) {
      fclose(file);
      TRACE_END();
      return -1;
    }
  }
  // The reading stops at the end of the file or at a read error; after an
  // error the table holds part of the file at most (or, for a folder given
  // as the file, nothing), and the server must not start on it.
  int readError = ferror(file) ? errno : 0;
  fclose(file);
  if (readError != 0) {
    LogPrint(LOG_FATAL, "Failed fgets() errno=%d", readError);
    LogPrint(LOG_FATAL, "%s could not be read!", path);
    TRACE_END();
    return -1;
  }
  TRACE_END();
  return 0;
}
