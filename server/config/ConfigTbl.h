// The one configuration record of the server and its two lists. Filled on
// the main thread during start-up, read-only (and read without a lock) after.
#ifndef TARVELD_CONFIGTBL_H
#define TARVELD_CONFIGTBL_H

#include <cstdint>

#include "platform/platform.h"

constexpr int CONFIG_TEXT_SIZE = 256;      // text fields: 255 characters + NUL
constexpr int CONFIG_PROTOCOL_SIZE = 32;   // socket-protocol: 31 + NUL
constexpr int CONFIG_ADDRESS_SIZE = 32;    // raw bytes of host-address

constexpr uint32_t METHOD_GET = 0x1;
constexpr uint32_t METHOD_HEAD = 0x2;
constexpr uint32_t METHOD_POST = 0x4;

struct ContentTypeEntry {
  char extension[CONFIG_TEXT_SIZE];
  char mediaType[CONFIG_TEXT_SIZE];
  ContentTypeEntry *next;
};

// A cgi-type entry, and a cgi-standard-type entry with the same parts (an
// empty program runs the document itself).
struct CgiTypeEntry {
  char extension[CONFIG_TEXT_SIZE];
  char program[CONFIG_TEXT_SIZE];
  char arguments[CONFIG_TEXT_SIZE];
  CgiTypeEntry *next;
};

// A cgi-env entry: one NAME=value variable for every standard CGI program.
constexpr int CONFIG_LINE_SIZE = 1024;  // a whole line's value: 1023 + NUL
struct CgiEnvEntry {
  char variable[CONFIG_LINE_SIZE];
  CgiEnvEntry *next;
};

// A proxy-from entry: a load balancer whose connections begin with a PROXY
// header that names the client.
struct ProxyFromEntry {
  PlatAddress address;
  ProxyFromEntry *next;
};

// The body a standard CGI program is given at most, when cgi-max-body is
// not set.
constexpr int64_t CGI_MAX_BODY_DEFAULT = 1048576;

// The fields in their fixed order; comments give the key, or "none" for the
// fields the endpoint resolution fills.
struct ConfigTable {
  unsigned char host_address[CONFIG_ADDRESS_SIZE];  // none
  char socket_protocol[CONFIG_PROTOCOL_SIZE];       // socket-protocol
  char bind_host[CONFIG_TEXT_SIZE];                 // bind-host
  char bind_port[CONFIG_TEXT_SIZE];                 // bind-port
  char www_route[CONFIG_TEXT_SIZE];                 // www-route
  char default_html[CONFIG_TEXT_SIZE];              // default-html
  ContentTypeEntry *content_type;                   // content-type
  CgiTypeEntry *cgi_type;                           // cgi-type
  int32_t log_level;                                // log-level
  int32_t time_flag;                                // time-flag
  int32_t host_address_length;                      // none
  int32_t protocol_number;                          // none
  int32_t socket_domain;                            // socket-domain
  int32_t socket_type;                              // socket-type
  int32_t socket_backlog;                           // socket-backlog
  int32_t retry_seconds;                            // retry-seconds
  int32_t buffer_size;                              // buffer-size
  int32_t loop_cycle_sec;                           // loop-cycle-sec
  int32_t loop_cycle_usec;                          // loop-cycle-usec
  int32_t max_connect;                              // max-connect
  uint32_t support_method;                          // support-method
  int32_t session_timeout;                          // session-timeout
  int32_t cgi_exe_timeout;                          // cgi-exe-timeout
  int32_t cgi_io_timeout;                           // cgi-io-timeout
  uint16_t port_number;                             // none (network order)
  int16_t HTTP_version;                             // HTTP-version
  int32_t dump_log;                                 // dump-log
  int32_t access_log2;                              // access-log2
  uint32_t host_scope_id;                           // none (zone of a scoped IPv6 host-address)
  // Added later: features that are off unless their keys are set.
  CgiTypeEntry *cgi_standard_type;                  // cgi-standard-type
  int64_t cgi_max_body;                             // cgi-max-body (set: cgi_max_body_set)
  int32_t cgi_max_body_set;
  CgiEnvEntry *cgi_env;                             // cgi-env
  int32_t last_modified;                            // last-modified (set: last_modified_set)
  int32_t last_modified_set;
  char access_log_file[CONFIG_TEXT_SIZE];           // access-log-file
  int32_t proxy_protocol;                           // proxy-protocol (set: proxy_protocol_set)
  int32_t proxy_protocol_set;
  ProxyFromEntry *proxy_from;                       // proxy-from
  int64_t cgi_memory_limit;                         // cgi-memory-limit (bytes)
  int32_t cgi_process_limit;                        // cgi-process-limit
  int32_t cgi_cpu_limit;                            // cgi-cpu-limit (milliseconds)
  int32_t cgi_memory_limit_set;                     // each set by its line
  int32_t cgi_process_limit_set;
  int32_t cgi_cpu_limit_set;
};

extern ConfigTable *ConfigTbl;

// Releases ConfigTbl with its lists (a start-up that fails gives them back).
void ConfigRelease();

// Configuration file and endpoint.
int ConfigLoad(const char *path);
char *TrimString(char *text);
void ContentTypeAdd(ContentTypeEntry **list, char *value);
void CgiTypeAdd(CgiTypeEntry **list, char *value);
void CgiStandardTypeAdd(CgiTypeEntry **list, char *value);
// Look-ups by a document path's extension: the media type of its
// content-type entry, the program and arguments of its cgi-type entry
// (null when there is none; a program makes the document a CGI document).
const char *ContentTypeMedia(const char *path);
const char *CgiTypeProgram(const char *path);
const char *CgiTypeArguments(const char *path);
// The cgi-standard-type entry of a document path, null when there is none
// or when a cgi-type entry claims the extension (cgi-type wins).
const CgiTypeEntry *CgiStandardTypeFind(const char *path);
// Adds a cgi-env "NAME=value" line; logged and skipped when it has no name.
void CgiEnvAdd(CgiEnvEntry **list, const char *value);
// The largest body a standard CGI program is given.
int64_t CgiMaxBody();
// Adds a proxy-from address; logged and skipped when it is none.
void ProxyFromAdd(ProxyFromEntry **list, const char *value);
// Whether a connection from this peer must begin with a PROXY header:
// proxy-protocol is on and the peer is a proxy-from address.
bool ProxyFromListed(const PlatAddress *peer);
// Whether two extensions are the same: exactly, or regardless of case where
// the file system ignores the case of names (the CGI and content-type
// look-ups alike).
bool ExtensionEquals(const char *a, const char *b);
char *ExpandEnv(char *text);
void ShowConfig();
// Warns of settings with which the server starts but serves nothing or fails
// at run time. Returns -1 when the listening socket could not even be made.
int ConfigCheck();
int ConfigSetup();

#endif
