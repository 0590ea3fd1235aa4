// Writes every setting to the log once the endpoint has been resolved.
#include <cstring>

#include "config/ConfigTbl.h"
#include "log/Log.h"

// The port is kept in network byte order; the dump shows it in host order.
static int PortInHostOrder(uint16_t networkOrder) {
  unsigned char bytes[2];
  memcpy(bytes, &networkOrder, sizeof bytes);
  return (bytes[0] << 8) | bytes[1];
}

static const char *OnOff(int32_t flag) { return flag ? "on" : "off"; }

// An IPv6 endpoint shows the address it resolved to beside the bind-host
// text, as bind-port and socket-protocol show their numbers.
static void ShowBindHost(const ConfigTable *c) {
  if (c->socket_domain != PLAT_AF_INET6) {
    LogPrint(LOG_INFO, "bind-host: [%s]", c->bind_host);
    return;
  }
  PlatAddress resolved = {};
  resolved.family = PLAT_AF_INET6;
  memcpy(resolved.bytes, c->host_address, sizeof resolved.bytes);
  char text[64];
  PlatAddressText(&resolved, text, sizeof text);
  LogPrint(LOG_INFO, "bind-host: [%s/%s]", c->bind_host, text);
}

// The keys added later, each only when it is set: a
// configuration without them is dumped as it always was.
static void ShowCgiExtensions(const ConfigTable *c) {
  for (const CgiTypeEntry *e = c->cgi_standard_type; e; e = e->next)
    LogPrint(LOG_INFO, "cgi-standard-type: [%s:%s:%s]", e->extension, e->program, e->arguments);
  if (c->cgi_max_body_set) LogPrint(LOG_INFO, "cgi-max-body: [%lld]", static_cast<long long>(c->cgi_max_body));
  for (const CgiEnvEntry *e = c->cgi_env; e; e = e->next)
    LogPrint(LOG_INFO, "cgi-env: [%s]", e->variable);
  if (c->cgi_memory_limit_set)
    LogPrint(LOG_INFO, "cgi-memory-limit: [%lld]", static_cast<long long>(c->cgi_memory_limit));
  if (c->cgi_process_limit_set) LogPrint(LOG_INFO, "cgi-process-limit: [%d]", c->cgi_process_limit);
  if (c->cgi_cpu_limit_set) LogPrint(LOG_INFO, "cgi-cpu-limit: [%d]", c->cgi_cpu_limit);
}

// Validators, the access log and clients behind a proxy, likewise.
static void ShowDeployment(const ConfigTable *c) {
  if (c->last_modified_set) LogPrint(LOG_INFO, "last-modified: [%s]", OnOff(c->last_modified));
  if (c->access_log_file[0]) LogPrint(LOG_INFO, "access-log-file: [%s]", c->access_log_file);
  if (c->proxy_protocol_set) LogPrint(LOG_INFO, "proxy-protocol: [%s]", OnOff(c->proxy_protocol));
  for (const ProxyFromEntry *e = c->proxy_from; e; e = e->next) {
    char text[64];
    PlatAddressText(&e->address, text, sizeof text);
    LogPrint(LOG_INFO, "proxy-from: [%s]", text);
  }
}

void ShowConfig() {
  const ConfigTable *c = ConfigTbl;
  LogPrint(LOG_INFO, "********** SHOW CONFIG - START **********");
  LogPrint(LOG_INFO, "www-route: [%s]", c->www_route);
  LogPrint(LOG_INFO, "default-html: [%s]", c->default_html);
  for (const ContentTypeEntry *e = c->content_type; e; e = e->next)
    LogPrint(LOG_INFO, "content-type: [%s:%s]", e->extension, e->mediaType);
  for (const CgiTypeEntry *e = c->cgi_type; e; e = e->next)
    LogPrint(LOG_INFO, "cgi-type: [%s:%s:%s]", e->extension, e->program, e->arguments);
  ShowCgiExtensions(c);
  LogPrint(LOG_INFO, "cgi-exe-timeout: [%d]", c->cgi_exe_timeout);
  LogPrint(LOG_INFO, "cgi-io-timeout: [%d]", c->cgi_io_timeout);
  LogPrint(LOG_INFO, "log-level: [%d]", c->log_level);
  LogPrint(LOG_INFO, "dump-log: [%s]", OnOff(c->dump_log));
  LogPrint(LOG_INFO, "time-flag: [%d]", c->time_flag);
  LogPrint(LOG_INFO, "access-log2: [%s]", OnOff(c->access_log2));
  ShowDeployment(c);
  LogPrint(LOG_INFO, "HTTP-version: [%d]", c->HTTP_version);
  LogPrint(LOG_INFO, "loop-cycle-sec: [%d]", c->loop_cycle_sec);
  LogPrint(LOG_INFO, "loop-cycle-usec: [%d]", c->loop_cycle_usec);
  LogPrint(LOG_INFO, "max-connect: [%d]", c->max_connect);
  ShowBindHost(c);
  LogPrint(LOG_INFO, "bind-port: [%s/%d]", c->bind_port, PortInHostOrder(c->port_number));
  LogPrint(LOG_INFO, "socket-protocol: [%s/%d]", c->socket_protocol, c->protocol_number);
  LogPrint(LOG_INFO, "socket-backlog: [%d]", c->socket_backlog);
  LogPrint(LOG_INFO, "session-timeout: [%d]", c->session_timeout);
  LogPrint(LOG_INFO, "buffer-size: [%d]", c->buffer_size);
  LogPrint(LOG_INFO, "retry-seconds: [%d]", c->retry_seconds);
  LogPrint(LOG_INFO, "socket-domain: [%d]", c->socket_domain);
  LogPrint(LOG_INFO, "socket-type: [%d]", c->socket_type);
  LogPrint(LOG_INFO, "support-method: [0x%08X]", c->support_method);
  LogPrint(LOG_INFO, "********** SHOW CONFIG - END **********");
}
