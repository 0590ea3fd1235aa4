// Fuzzes the full-path resolution and the containment test of document
// paths: nothing outside the document root may ever be accepted.
//
// The first byte picks a document root: one of a fixed set, or (selector 7)
// the text up to the first line feed. The rest is the URI. Each input is
// checked twice against a resolver of this file's own, which works on lists
// of path components and shares no code with the server:
//  - PlatFullPath gives exactly the resolver's absolute form of root + URI
//    and of the root, and PathWithinRoot accepts exactly the paths whose
//    components begin with all of the root's;
//  - for the fixed roots, SendResult10 itself answers the URI: 403 for a
//    path outside, 404 for one inside (the fixed roots name folders that do
//    not exist, so nothing inside can be found) or too long to resolve.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "http/Http.h"
#include "platform/platform.h"
#include "support/Basics.h"

namespace {

// Roots under folders that do not exist; relative ones are taken against an
// empty temporary working folder.
const char *const FixedRoots[] = {
    "/nonexistent-tarveld/www",  "/nonexistent-tarveld/www/", "/nonexistent-tarveld//www/./",
    "/nonexistent-tarveld/a/../www", "www",                   "./www/",
    "www2/../www",
};
constexpr size_t FIXED_ROOTS = sizeof FixedRoots / sizeof FixedRoots[0];

std::unique_ptr<support::TempDir> WorkFolder;
int Answers[2] = {-1, -1};  // [0] the server's end, [1] the client's end

using Components = std::vector<std::string>;

// The absolute form of a path as a list of components: relative paths start
// from the working folder; empty and "." components vanish, ".." takes back
// the one before it (none at the top).
Components Resolve(const std::string &path) {
  std::string whole = (!path.empty() && path[0] == '/') ? path : WorkFolder->path() + "/" + path;
  Components parts;
  size_t start = 0;
  while (start <= whole.size()) {
    size_t end = whole.find('/', start);
    if (end == std::string::npos) end = whole.size();
    std::string part = whole.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  return parts;
}

// The text of a resolved path; a final "/" of the original stays, as the
// resolution keeps it, unless the result is the top folder itself.
std::string Text(const Components &parts, bool trailing) {
  std::string text;
  for (const std::string &part : parts) text += "/" + part;
  if (text.empty()) return "/";
  return trailing ? text + "/" : text;
}

bool EndsWithSlash(const std::string &path) { return !path.empty() && path.back() == '/'; }

bool Within(const Components &path, const Components &root) {
  if (path.size() < root.size()) return false;
  for (size_t i = 0; i < root.size(); ++i)
    if (path[i] != root[i]) return false;
  return true;
}

[[noreturn]] void Fail(const char *what, const std::string &root, const std::string &path) {
  fprintf(stderr, "%s\n  root: \"%s\"\n  path: \"%s\"\n", what, root.c_str(), path.c_str());
  abort();
}

// The expected text of PlatFullPath, or "" when the resolver's result does
// not fit into the buffer (the call then reports the size it needs).
std::string Expected(const std::string &path, size_t *needed) {
  std::string text = Text(Resolve(path), EndsWithSlash(path));
  *needed = text.size() + 1;
  return text.size() + 1 > static_cast<size_t>(PLAT_MAX_PATH) ? "" : text;
}

// PlatFullPath against the resolver; false when the path does not fit.
bool CheckFullPath(const std::string &path, const std::string &root, char *full) {
  size_t needed = 0;
  std::string expected = Expected(path, &needed);
  uint32_t length = PlatFullPath(path.c_str(), full, PLAT_MAX_PATH);
  if (expected.empty()) {
    if (length != needed) Fail("PlatFullPath: wrong size needed for a long path", root, path);
    return false;
  }
  if (length != expected.size() || expected != full)
    Fail("PlatFullPath differs from the resolver", root, path);
  return true;
}

// The direct check: resolution of root + URI and of the root, containment.
void CheckContainment(const std::string &root, const std::string &uri) {
  if (root.empty()) return;  // an empty root opens everything by definition
  std::string path = root + uri;
  char full[PLAT_MAX_PATH];
  char rootFull[PLAT_MAX_PATH];
  if (!CheckFullPath(path, root, full) || !CheckFullPath(root, root, rootFull)) return;
  bool inside = Within(Resolve(path), Resolve(root));
  if (PathWithinRoot(full, rootFull) != (inside ? 1 : 0))
    Fail(inside ? "PathWithinRoot refused a path inside the root"
                : "PathWithinRoot accepted a path outside the root",
         root, path);
}

// The status number of the answer waiting on the client's end; -1 for none.
int ReadStatus() {
  char answer[4096];
  ssize_t got = recv(Answers[1], answer, sizeof answer - 1, MSG_DONTWAIT);
  if (got <= 0) return -1;
  answer[got] = '\0';
  while (recv(Answers[1], answer + got, sizeof answer - 1 - static_cast<size_t>(got),
              MSG_DONTWAIT) > 0) {
  }
  int status = -1;
  if (sscanf(answer, "HTTP/1.0 %d ", &status) != 1) return -1;
  return status;
}

// The whole answer path of a GET: the status must be what the resolver says.
void CheckAnswer(const std::string &root, const std::string &uri) {
  strncpy(ConfigTbl->www_route, root.c_str(), sizeof ConfigTbl->www_route - 1);
  std::vector<char> mutableUri(uri.begin(), uri.end());
  mutableUri.push_back('\0');
  char request[64] = "GET";
  char data[1] = {'\0'};
  Connection conn = {};
  conn.sock = Answers[0];
  conn.buffer = request;
  conn.bufferSize = sizeof request;
  conn.received = 3;
  conn.request.uri = mutableUri.data();
  conn.request.data = data;
  SendResult10(&conn);
  int status = ReadStatus();

  // The document path as the server builds it: query cut off at the first
  // "?", default-html added after a final "/", no separator added.
  std::string document = uri.substr(0, uri.find('?'));
  std::string path = root + document + (EndsWithSlash(document) ? "index.html" : "");
  size_t needed = 0;
  bool fits = !Expected(path, &needed).empty();
  bool inside = Within(Resolve(path), Resolve(root));
  int expected = fits && !inside ? 403 : 404;
  if (status != expected) {
    fprintf(stderr, "status %d, expected %d\n", status, expected);
    Fail("SendResult10 gave the wrong answer", root, uri);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  LogLockInit();
  ConfigTbl = static_cast<ConfigTable *>(calloc(1, sizeof(ConfigTable)));
  ConfigTbl->log_level = LOG_TRACE;
  LogConfigure(LOG_TRACE, 0, 0);
  ConfigTbl->support_method = METHOD_GET | METHOD_HEAD | METHOD_POST;
  strcpy(ConfigTbl->default_html, "index.html");

  // An empty working folder, so that relative roots name nothing on disk.
  // Under TMPDIR when set, so that the runner removes it even after a crash.
  WorkFolder = std::make_unique<support::TempDir>("tarveld-fuzz-path");
  if (chdir(WorkFolder->path().c_str()) != 0) abort();
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Answers) != 0) abort();

  // Log lines go nowhere: libFuzzer reports on standard error.
  int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, 1);
  close(devnull);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // Texts end at a NUL, as they do in the request buffer.
  std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
  rest = rest.substr(0, rest.find('\0'));
  size_t selector = data[0] % (FIXED_ROOTS + 1);
  if (selector == FIXED_ROOTS) {
    size_t newline = rest.find('\n');
    if (newline == std::string::npos) return 0;
    CheckContainment(rest.substr(0, newline), rest.substr(newline + 1));
    return 0;
  }
  std::string root = FixedRoots[selector];
  CheckContainment(root, rest);
  CheckAnswer(root, rest);
  return 0;
}
