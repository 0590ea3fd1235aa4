// Settings that the loader takes but that leave the server serving nothing,
// or failing on every request of a kind, each reported as one warning after
// the configuration dump: on every start, and as the verdict of --check.
#include <cstring>

#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"

namespace {

int CheckDocumentRoot(const ConfigTable *c) {
  if (c->www_route[0] == '\0') {
    LogPrint(LOG_WARN, "www-route is empty: every file of this machine can be served.");
    return 1;
  }
  if (PlatPathKind(c->www_route) != PLAT_PATH_FOLDER) {
    LogPrint(LOG_WARN, "www-route [%s] is not a folder: every document request is answered 404.",
             c->www_route);
    return 1;
  }
  return 0;
}

int CheckCgiPrograms(const ConfigTable *c) {
  int warnings = 0;
  for (const CgiTypeEntry *e = c->cgi_type; e; e = e->next) {
    int kind = PlatPathKind(e->program);
    if (kind == PLAT_PATH_PROGRAM) continue;
    LogPrint(LOG_WARN, "cgi-type [%s]: program [%s] %s.", e->extension, e->program,
             kind == PLAT_PATH_NONE ? "does not exist" : "is not executable");
    ++warnings;
  }
  return warnings;
}

// Standard CGI: a program that cannot run, an extension that cgi-type
// claims first, a body limit that refuses every body.
int CheckStandardCgi(const ConfigTable *c) {
  int warnings = 0;
  for (const CgiTypeEntry *e = c->cgi_standard_type; e; e = e->next) {
    for (const CgiTypeEntry *d = c->cgi_type; d; d = d->next) {
      if (strcmp(d->extension, e->extension) != 0) continue;
      LogPrint(LOG_WARN, "cgi-standard-type [%s]: cgi-type claims the extension too and wins.",
               e->extension);
      ++warnings;
      break;
    }
    if (e->program[0] == '\0') continue;  // the document runs itself
    int kind = PlatPathKind(e->program);
    if (kind == PLAT_PATH_PROGRAM) continue;
    LogPrint(LOG_WARN, "cgi-standard-type [%s]: program [%s] %s.", e->extension, e->program,
             kind == PLAT_PATH_NONE ? "does not exist" : "is not executable");
    ++warnings;
  }
  if (c->cgi_max_body_set && c->cgi_max_body < 0) {
    LogPrint(LOG_WARN, "cgi-max-body is %lld: every request body of a standard CGI program is "
                       "refused.", static_cast<long long>(c->cgi_max_body));
    ++warnings;
  }
  return warnings;
}

int CheckLimits(const ConfigTable *c) {
  int warnings = 0;
  if (c->max_connect <= 0) {
    LogPrint(LOG_WARN, "max-connect is %d: no connection is ever accepted.", c->max_connect);
    ++warnings;
  }
  if (c->buffer_size < 2) {
    LogPrint(LOG_WARN, "buffer-size is %d: every connection is closed without an answer.",
             c->buffer_size);
    ++warnings;
  }
  if (c->support_method == 0) {
    LogPrint(LOG_WARN, "support-method is not set: every request is answered 501.");
    ++warnings;
  }
  if (c->loop_cycle_sec == 0 && c->loop_cycle_usec == 0) {
    LogPrint(LOG_WARN, "loop-cycle-sec and loop-cycle-usec are 0: the accept loop never waits and "
                       "keeps a processor busy.");
    ++warnings;
  }
  if (c->default_html[0] == '\0') {
    LogPrint(LOG_WARN, "default-html is empty: a request path that ends in \"/\" finds no document.");
    ++warnings;
  }
  return warnings;
}

// The access log must open, or the start fails; a proxy setting without its
// other half does nothing. Opening the log for appending creates it, empty,
// when it is missing, as the start would.
bool CheckDeployment(const ConfigTable *c) {
  bool usable = true;
  if (c->access_log_file[0]) {
    int fd = PlatFileOpenAppend(c->access_log_file);
    if (fd < 0) {
      LogPrint(LOG_WARN, "access-log-file [%s] cannot be opened for appending (errno=%d): the "
                         "start fails.", c->access_log_file, PlatLastError());
      usable = false;
    } else {
      PlatFileClose(fd);
    }
  }
  if (c->proxy_protocol && !c->proxy_from) {
    LogPrint(LOG_WARN, "proxy-protocol is on but no proxy-from is set: no client address is "
                       "taken from a PROXY header.");
  }
  if (!c->proxy_protocol && c->proxy_from) {
    LogPrint(LOG_WARN, "proxy-from is set but proxy-protocol is off: those connections are "
                       "served as clients of their own.");
  }
  return usable;
}

// The listening socket is a stream socket of an Internet family; anything
// else fails the start when the socket is made or bound.
bool CheckSocketKind(const ConfigTable *c) {
  bool usable = true;
  if (c->socket_domain != PLAT_AF_INET && c->socket_domain != PLAT_AF_INET6) {
    LogPrint(LOG_WARN, "socket-domain is %d: the server listens with AF_INET or AF_INET6 only.",
             c->socket_domain);
    usable = false;
  }
  if (c->socket_type != PLAT_SOCK_STREAM) {
    LogPrint(LOG_WARN, "socket-type is %d: the server listens with SOCK_STREAM only.",
             c->socket_type);
    usable = false;
  }
  return usable;
}

}  // namespace

int ConfigCheck() {
  const ConfigTable *c = ConfigTbl;
  CheckDocumentRoot(c);
  CheckCgiPrograms(c);
  CheckStandardCgi(c);
  CheckLimits(c);
  bool usable = CheckDeployment(c);
  return CheckSocketKind(c) && usable ? 0 : -1;
}
