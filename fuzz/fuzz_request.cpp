// Fuzzes the request handling from HTTP_start down to the answer, over a
// socket pair, the way a transaction calls it: the input is the one receive,
// in a buffer of exactly its length plus the zero byte behind it.
//
// The document root holds static documents and two CGI entries, both run by
// /bin/cat so that a run costs little: ".cgi" prints the document and ends,
// ".pl" echoes its input and never ends, so its run always ends by the short
// time limits (the time-out path and the termination of the child). Beside
// the root lie secret files that no answer may ever contain.
//
// Every answer must be one of the server's: a complete header with a status
// it sends, and a static body equal to one document and to its length. After
// every input no child process may still run and no descriptor of the run
// may be left; an ended child must be reaped by the server within seconds.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cgi/Cgi.h"
#include "config/ConfigTbl.h"
#include "core/Log.h"
#include "http/Http.h"
#include "platform/platform.h"

namespace {

const char SECRET[] = "SECRET-OUTSIDE-THE-ROOT";
const std::string TimeoutText = "SERVER ERROR: CGI TIMEOUT.";

std::string Base;                    // the temporary folder
std::vector<std::string> Documents;  // every static document's content
std::string CgiDocument;             // what /bin/cat prints for t.cgi

void Write(const std::string &relative, const std::string &content) {
  std::string path = Base + "/" + relative;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void Document(const std::string &relative, const std::string &content) {
  Write("www/" + relative, content);
  Documents.push_back(content);
}

void RemoveBase() {
  std::error_code ignored;
  std::filesystem::remove_all(Base, ignored);
}

void LayOutFiles() {
  // Under TMPDIR when set, so that the runner removes it even after a crash.
  const char *tmp = getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarveld-fuzz-request-XXXXXX";
  std::vector<char> pattern(folder.begin(), folder.end());
  pattern.push_back('\0');
  if (!mkdtemp(pattern.data())) abort();
  Base = pattern.data();
  atexit(RemoveBase);
  Document("index.html", "<html>index</html>\n");
  Document("a.txt", "plain text\n");
  Document("empty.txt", "");
  Document("sub/index.html", "<html>sub</html>\n");
  std::string big(16384, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  Document("big.bin", big);
  CgiDocument = "cgi document\n";
  Write("www/t.cgi", CgiDocument);
  Write("www/slow.pl", "");
  // Beside the root: its parent, a sibling whose name starts with the
  // root's, a file whose name does, and a CGI document outside.
  Write("secret.txt", SECRET);
  Write("www2/secret.txt", SECRET);
  Write("wwwsecret.txt", SECRET);
  Write("evil.cgi", SECRET);
}

void AddType(const char *extension, const char *media) {
  ContentTypeEntry *entry = static_cast<ContentTypeEntry *>(calloc(1, sizeof *entry));
  strcpy(entry->extension, extension);
  strcpy(entry->mediaType, media);
  ContentTypeEntry **tail = &ConfigTbl->content_type;
  while (*tail) tail = &(*tail)->next;
  *tail = entry;
}

void AddCgi(const char *extension, const char *program, const char *arguments) {
  CgiTypeEntry *entry = static_cast<CgiTypeEntry *>(calloc(1, sizeof *entry));
  strcpy(entry->extension, extension);
  strcpy(entry->program, program);
  strcpy(entry->arguments, arguments);
  CgiTypeEntry **tail = &ConfigTbl->cgi_type;
  while (*tail) tail = &(*tail)->next;
  *tail = entry;
}

void Configure() {
  ConfigTbl = static_cast<ConfigTable *>(calloc(1, sizeof(ConfigTable)));
  ConfigTbl->log_level = LOG_TRACE;
  ConfigTbl->dump_log = 1;
  ConfigTbl->support_method = METHOD_GET | METHOD_HEAD | METHOD_POST;
  snprintf(ConfigTbl->www_route, sizeof ConfigTbl->www_route, "%s/www", Base.c_str());
  strcpy(ConfigTbl->default_html, "index.html");
  AddType("html", "text/html");
  AddType("txt", "text/plain");
  AddType("*", "application/octet-stream");
  AddCgi("cgi", "/bin/cat", "");
  AddCgi("pl", "/bin/cat", "-");
  ConfigTbl->cgi_exe_timeout = 100;
  ConfigTbl->cgi_io_timeout = 10;
}

// The text of a small /proc file; "" when the process or thread has gone
// meanwhile (reading then fails).
std::string ReadText(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string text;
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
  close(fd);
  return got < 0 ? "" : text;
}

// libFuzzer may start the sanitizer's symbolizer as a child of its own, with
// two pipes to it, to name new functions it reaches: neither counts.
bool IsSymbolizer(const std::string &pid) {
  return ReadText("/proc/" + pid + "/comm").find("symbolizer") != std::string::npos;
}

std::string Link(const std::string &path) {
  char target[256];
  ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

// Entries of a /proc folder, without "." and "..".
std::vector<std::string> List(const std::string &folder) {
  std::vector<std::string> names;
  DIR *dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(dir);
  return names;
}

// Children of every thread of this process, zombies included.
std::vector<std::string> Children() {
  std::vector<std::string> children;
  for (const std::string &task : List("/proc/self/task")) {
    std::istringstream list(ReadText("/proc/self/task/" + task + "/children"));
    std::string pid;
    while (list >> pid) children.push_back(pid);
  }
  return children;
}

// The process's descriptors and what each one refers to.
std::vector<std::string> Descriptors() {
  std::vector<std::string> held;
  for (const std::string &fd : List("/proc/self/fd")) {
    std::string target = Link("/proc/self/fd/" + fd);
    if (!target.empty()) held.push_back(fd + " -> " + target);  // not the listing's own
  }
  return held;
}

// The state letter of a process from /proc/<pid>/stat ("pid (name) S ...").
char State(const std::string &pid) {
  std::string text = ReadText("/proc/" + pid + "/stat");
  size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? 'X' : text[close + 2];
}

// Pipes that the symbolizer's descriptors refer to.
std::vector<std::string> SymbolizerPipes() {
  std::vector<std::string> pipes;
  for (const std::string &pid : Children()) {
    if (!IsSymbolizer(pid)) continue;
    for (const std::string &fd : List("/proc/" + pid + "/fd"))
      pipes.push_back(Link("/proc/" + pid + "/fd/" + fd));
  }
  return pipes;
}

// Descriptors that were not there before the input, pipes to the
// symbolizer aside.
std::vector<std::string> NewDescriptors(const std::vector<std::string> &before) {
  std::vector<std::string> pipes = SymbolizerPipes();
  std::vector<std::string> added;
  for (const std::string &held : Descriptors()) {
    bool old = false, theSymbolizers = false;
    for (const std::string &earlier : before) old |= earlier == held;
    for (const std::string &pipe : pipes)
      theSymbolizers |= held.size() >= pipe.size() &&
                        held.compare(held.size() - pipe.size(), pipe.size(), pipe) == 0;
    if (!old && !theSymbolizers) added.push_back(held);
  }
  return added;
}

// Children that still run, and ended ones (zombies) with the time they
// were first seen: the server's reaper takes those within its cycles.
using Clock = std::chrono::steady_clock;
std::map<std::string, Clock::time_point> Zombies;
const auto REAP_LIMIT = std::chrono::seconds(3);

int RunningChildren() {
  int running = 0;
  std::map<std::string, Clock::time_point> zombies;
  for (const std::string &pid : Children()) {
    if (IsSymbolizer(pid)) continue;
    if (State(pid) != 'Z') {
      ++running;
      continue;
    }
    auto seen = Zombies.find(pid);
    zombies[pid] = seen == Zombies.end() ? Clock::now() : seen->second;
    if (Clock::now() - zombies[pid] > REAP_LIMIT) {
      fprintf(stderr, "child process %s was never reaped\n", pid.c_str());
      abort();
    }
  }
  Zombies.swap(zombies);
  return running;
}

// After every input: no child may still run (a terminated one may take a
// moment to end) and no descriptor may have been added. Bounded to ~3 s.
void CheckNothingLeft(const std::vector<std::string> &before) {
  int running = 0;
  std::vector<std::string> added;
  for (int round = 0; round < 600; ++round) {
    running = RunningChildren();
    added = NewDescriptors(before);
    if (running == 0 && added.empty()) return;
    usleep(5000);
  }
  fprintf(stderr, "left behind: %d running child processes, %zu descriptors\n", running,
          added.size());
  for (const std::string &held : added) fprintf(stderr, "  %s\n", held.c_str());
  abort();
}

[[noreturn]] void Fail(const char *what, const std::string &answer) {
  fprintf(stderr, "%s\n--- answer (%zu bytes):\n%.600s\n", what, answer.size(), answer.c_str());
  abort();
}

bool IsDocument(const std::string &body) {
  for (const std::string &document : Documents)
    if (body == document) return true;
  return false;
}

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The answer to one request. The secret text counts only when the request
// does not hold it itself: a CGI program may echo the request data, and the
// fuzzer learns the text from the comparisons made here.
void CheckAnswer(const std::string &request, const std::string &answer) {
  if (answer.find(SECRET) != std::string::npos && request.find(SECRET) == std::string::npos)
    Fail("a file outside the root was served", answer);
  size_t end = answer.find("\r\n\r\n");
  if (end == std::string::npos) Fail("no complete header", answer);
  int status = 0;
  if (sscanf(answer.c_str(), "HTTP/1.0 %d ", &status) != 1) Fail("no status line", answer);
  if (status == 403 || status == 404 || status == 501) {
    if (end + 4 != answer.size()) Fail("an error answer with a body", answer);
    return;
  }
  if (status != 200) Fail("a status the server never sends", answer);
  std::string head = answer.substr(0, end + 2);
  std::string body = answer.substr(end + 4);
  size_t length = head.find("\r\nContent-Length: ");
  if (length != std::string::npos) {  // HEAD or a static document
    if (strtoul(head.c_str() + length + 18, nullptr, 10) != body.size())
      Fail("the body differs from its Content-Length", answer);
    if (!body.empty() && !IsDocument(body)) Fail("a body that is no document", answer);
    return;
  }
  // A CGI run: the printed document, or whatever came before a time-out.
  if (body != CgiDocument && !EndsWith(body, TimeoutText)) Fail("an unexpected CGI answer", answer);
}

// Runs HTTP_start on one end of a socket pair while a thread reads the other
// end to its close, so that no answer can fill the pair and stop the sender.
std::string Serve(char *buffer, int length) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
  std::string answer;
  std::thread reader([&] {
    char chunk[65536];
    for (;;) {
      ssize_t got = recv(pair[1], chunk, sizeof chunk, 0);
      if (got <= 0) return;
      answer.append(chunk, static_cast<size_t>(got));
    }
  });
  // A send that cannot go on is a failure, never a hang of the fuzzer.
  PlatSocketSetSendTimeout(pair[0], 5);
  HTTP_start(pair[0], buffer, length);
  shutdown(pair[0], SHUT_WR);
  reader.join();
  close(pair[0]);
  close(pair[1]);
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  PlatSocketStartup();  // as the server starts: a gone peer costs an error
  LogLockInit();
  LayOutFiles();
  Configure();
  if (TerminateChildInit() != 0) abort();
  // Log lines and dumps go nowhere: libFuzzer reports on standard error.
  int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, 1);
  close(devnull);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 65536) return 0;  // a receive brings 1 byte at least
  // The transaction's buffer: buffer-size bytes, the request filling all but
  // the zero byte, so that any read beyond it is caught.
  std::vector<std::string> before = Descriptors();
  ConfigTbl->buffer_size = static_cast<int32_t>(size + 1);
  char *buffer = static_cast<char *>(malloc(size + 1));
  memcpy(buffer, data, size);
  buffer[size] = '\0';
  std::string answer = Serve(buffer, static_cast<int>(size));
  free(buffer);
  CheckAnswer(std::string(reinterpret_cast<const char *>(data), size), answer);
  CheckNothingLeft(before);
  return 0;
}
