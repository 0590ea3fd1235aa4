// Fuzzes the request handling from HTTP_start down to the answer, over a
// socket pair, the way a transaction calls it: the input is the one receive,
// in a buffer of exactly its length plus the zero byte behind it.
//
// The document root holds static documents and two CGI entries, both run by
// /bin/cat so that a run costs little: ".cgi" prints the document and ends,
// ".pl" echoes its input and never ends, so its run always ends by the short
// time limits (the time-out path and the termination of the child). A
// standard CGI entry, ".std", runs a shell script that writes a header and a
// short body, so the request's header lines, its body and the path
// information take their way too. Beside the root lie secret files that no
// answer may ever contain.
//
// Every answer must be one of the server's: a complete header with a status
// it sends, and a static body equal to one document and to its length. After
// every input no child process may still run and no descriptor of the run
// may be left; an ended child must be reaped by the server within seconds.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cgi/Cgi.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "http/Http.h"
#include "platform/platform.h"
#include "support/Basics.h"
#include "support/Process.h"

namespace {

const char SECRET[] = "SECRET-OUTSIDE-THE-ROOT";
const std::string TimeoutText = "SERVER ERROR: CGI TIMEOUT.";
const std::string StandardBody = "std\n";

// The temporary folder, removed at the exit. Under TMPDIR when set, so that
// the runner removes it even after a crash.
std::unique_ptr<support::TempDir> Base;
std::vector<std::string> Documents;  // every static document's content
std::string CgiDocument;             // what /bin/cat prints for t.cgi

void Write(const std::string &relative, const std::string &content) {
  Base->Write(relative, content);
}

void Document(const std::string &relative, const std::string &content) {
  Write("www/" + relative, content);
  Documents.push_back(content);
}

void LayOutFiles() {
  Base = std::make_unique<support::TempDir>("tarveld-fuzz-request");
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
  Write("www/s.std", "printf 'Content-Type: text/plain\\n\\nstd\\n'\n");
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

void AddStandardCgi(const char *extension, const char *program) {
  CgiTypeEntry *entry = static_cast<CgiTypeEntry *>(calloc(1, sizeof *entry));
  strcpy(entry->extension, extension);
  strcpy(entry->program, program);
  ConfigTbl->cgi_standard_type = entry;
}

void Configure() {
  ConfigTbl = static_cast<ConfigTable *>(calloc(1, sizeof(ConfigTable)));
  ConfigTbl->log_level = LOG_TRACE;
  ConfigTbl->dump_log = 1;
  LogConfigure(LOG_TRACE, 0, 1);
  ConfigTbl->support_method = METHOD_GET | METHOD_HEAD | METHOD_POST;
  snprintf(ConfigTbl->www_route, sizeof ConfigTbl->www_route, "%s/www", Base->path().c_str());
  strcpy(ConfigTbl->default_html, "index.html");
  AddType("html", "text/html");
  AddType("txt", "text/plain");
  AddType("*", "application/octet-stream");
  AddCgi("cgi", "/bin/cat", "");
  AddCgi("pl", "/bin/cat", "-");
  AddStandardCgi("std", "/bin/sh");
  ConfigTbl->cgi_exe_timeout = 100;
  ConfigTbl->cgi_io_timeout = 10;
}

// libFuzzer may start the sanitizer's symbolizer as a child of its own, with
// two pipes to it, to name new functions it reaches: neither counts.
bool IsSymbolizer(pid_t pid) {
  std::string name = support::ReadFile("/proc/" + std::to_string(pid) + "/comm");
  return name.find("symbolizer") != std::string::npos;
}

// Pipes that the symbolizer's descriptors refer to.
std::vector<std::string> SymbolizerPipes() {
  std::vector<std::string> pipes;
  for (pid_t pid : support::ChildProcesses(getpid()))
    if (IsSymbolizer(pid))
      for (const auto &[fd, target] : support::Descriptors(pid)) pipes.push_back(target);
  return pipes;
}

// Descriptors that were not there before the input, pipes to the
// symbolizer aside.
std::vector<std::string> NewDescriptors(const std::map<int, std::string> &before) {
  std::vector<std::string> pipes = SymbolizerPipes();
  std::vector<std::string> added;
  for (const auto &[fd, target] : support::Descriptors(getpid())) {
    auto earlier = before.find(fd);
    bool old = earlier != before.end() && earlier->second == target;
    bool theSymbolizers = std::find(pipes.begin(), pipes.end(), target) != pipes.end();
    if (!old && !theSymbolizers) added.push_back(std::to_string(fd) + " -> " + target);
  }
  return added;
}

// Children that still run, and ended ones (zombies) with the time they
// were first seen: the server's reaper takes those within its cycles.
using Clock = std::chrono::steady_clock;
std::map<pid_t, Clock::time_point> Zombies;
const auto REAP_LIMIT = std::chrono::seconds(3);

int RunningChildren() {
  int running = 0;
  std::map<pid_t, Clock::time_point> zombies;
  for (pid_t pid : support::ChildProcesses(getpid())) {
    if (IsSymbolizer(pid)) continue;
    support::ProcessStat stat;
    if (!support::ReadProcessStat(pid, &stat) || stat.state != 'Z') {
      ++running;
      continue;
    }
    auto seen = Zombies.find(pid);
    zombies[pid] = seen == Zombies.end() ? Clock::now() : seen->second;
    if (Clock::now() - zombies[pid] > REAP_LIMIT) {
      fprintf(stderr, "child process %d was never reaped\n", static_cast<int>(pid));
      abort();
    }
  }
  Zombies.swap(zombies);
  return running;
}

// After every input: no child may still run (a terminated one may take a
// moment to end) and no descriptor may have been added. Bounded to ~3 s.
void CheckNothingLeft(const std::map<int, std::string> &before) {
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
  // A standard CGI request whose body does not come in time is closed
  // without an answer, as a request that does not come is.
  if (answer.empty() && request.find(".std") != std::string::npos) return;
  size_t end = answer.find("\r\n\r\n");
  if (end == std::string::npos) Fail("no complete header", answer);
  int status = 0;
  if (sscanf(answer.c_str(), "HTTP/1.0 %d ", &status) != 1) Fail("no status line", answer);
  if (status == 403 || status == 404 || status == 501) {
    if (end + 4 != answer.size()) Fail("an error answer with a body", answer);
    return;
  }
  bool standard = status == 400 || status == 411 || status == 413 || status == 502 || status == 504;
  if (standard) {  // the server's own text, with its length
    size_t length = answer.find("\r\nContent-Length: ");
    if (length == std::string::npos && status != 504) Fail("a refusal without a length", answer);
    if (length != std::string::npos &&
        strtoul(answer.c_str() + length + 18, nullptr, 10) != answer.size() - end - 4)
      Fail("a refusal whose body differs from its length", answer);
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
  if (body != CgiDocument && body != StandardBody && !EndsWith(body, TimeoutText))
    Fail("an unexpected CGI answer", answer);
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
  Connection conn = {};
  conn.sock = pair[0];
  conn.buffer = buffer;
  conn.bufferSize = length + 1;
  conn.received = length;
  HTTP_start(&conn);
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
  std::map<int, std::string> before = support::Descriptors(getpid());
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
