// A CGI program of the end-to-end tests for the Windows build, standing in
// for the small shell scripts that the Linux build runs with /bin/sh. The
// server starts it with a script's path as the last argument; the script's
// name chooses what it does:
//   silent  writes "started", then stays silent
//   hello   writes "hi", then stays silent
//   ticker  writes "tick" every 50 ms
//   linger  writes "started", ends once a file of the script's name with
//           ".end" for its extension appears beside it (20 s at most)
//   tree    writes its process id, starts a child that writes its own id,
//           starts a grandchild and writes that one's id; all three wait
//   exit    ends at once, writing nothing
//   closeout closes its standard output and stays
//   flood   writes 10 MiB of zero bytes
//   ignore  writes "ignored" and ends without reading its input
//   orphans starts two processes that end a second later, writes "forked"
//           and ends
//   crash   writes "before" and ends at once the way a crashed program does
//   pause   writes its process id and 2000 bytes, 200 ms later 2000 more,
//           then stays
//   doublefork  writes its process id, starts a child that starts a
//           grandchild, writes the grandchild's id and ends at once; stays
//   family  starts two children, then writes its own id and theirs on one
//           line with one write; all three stay
//   stdecho a standard CGI program: a header, then its method, query,
//           content length and its whole input
//   stdtree "tree" with the ids on standard error and no output at all
//   stdremote a standard CGI program: a header, then REMOTE_ADDR and
//           REMOTE_PORT
//   nap     writes its process id, then stays
//   escape  writes the id of a process it started through a child that has
//           ended (outside its process tree), then stays
//   leave   the same, then ends at once
//   alive   writes "alive" while the process whose id is the query is a
//           running copy of this program (not itself), else "gone"
// Run as "cgi_probe --short-name PATH" it prints the short (8.3) name of
// PATH's last component, for the tests that ask for a document by it.
// Nothing it does lasts longer than 30 seconds.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const DWORD LIFETIME_MS = 30000;

void Say(const char *text) {
  printf("%s\n", text);
  fflush(stdout);
}

// The script's name without folder and extension.
std::string Mode(const char *scriptPath) {
  std::string name = scriptPath;
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// Starts this program again with one argument, sharing standard output.
bool StartSelf(const char *argument, PROCESS_INFORMATION *process) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string commandLine = std::string("\"") + self + "\" " + argument;
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return CreateProcessA(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, process) != 0;
}

// Writes its id (to out), starts the next generation (if any) and waits
// for it.
void Generation(const char *next, FILE *out = stdout) {
  fprintf(out, "%lu\n", GetCurrentProcessId());
  fflush(out);
  PROCESS_INFORMATION process;
  if (next && StartSelf(next, &process)) {
    if (strcmp(next, "--leaf") == 0) {
      fprintf(out, "%lu\n", process.dwProcessId);  // the leaf itself stays silent
      fflush(out);
    }
    WaitForSingleObject(process.hProcess, LIFETIME_MS);
    return;
  }
  Sleep(LIFETIME_MS);
}

// Waits until the file "<script without extension>.end" exists.
void WaitForEndFile(const char *scriptPath) {
  std::string path = scriptPath;
  size_t dot = path.rfind('.');
  path = (dot == std::string::npos ? path : path.substr(0, dot)) + ".end";
  for (DWORD waited = 0; waited < 20000; waited += 50) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    Sleep(50);
  }
}

void StandardEcho() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  const char *names[] = {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH"};
  const char *values[3];
  for (int i = 0; i < 3; ++i) values[i] = getenv(names[i]) ? getenv(names[i]) : "";
  printf("Content-Type: text/plain\r\n\r\nmethod=%s\nquery=%s\nlength=%s\nbody=", values[0],
         values[1], values[2]);
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, stdin)) > 0;) fwrite(chunk, 1, n, stdout);
  printf("\n");
  fflush(stdout);
}

void Flood() {
  _setmode(_fileno(stdout), _O_BINARY);
  static char zeros[65536];
  for (int i = 0; i < 160; ++i) fwrite(zeros, 1, sizeof zeros, stdout);
  fflush(stdout);
}

void Pause() {
  printf("%lu\n", GetCurrentProcessId());
  std::string part(2000, 'p');
  fwrite(part.data(), 1, part.size(), stdout);
  fflush(stdout);
  Sleep(200);
  fwrite(part.data(), 1, part.size(), stdout);
  fflush(stdout);
  Sleep(LIFETIME_MS);
}

// The middle generation of "doublefork": starts the grandchild, writes its
// id and ends, leaving it without a parent.
void StartOrphan() {
  PROCESS_INFORMATION process;
  if (!StartSelf("--leaf", &process)) return;
  printf("%lu\n", process.dwProcessId);
  fflush(stdout);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

void DoubleFork() {
  printf("%lu\n", GetCurrentProcessId());
  fflush(stdout);
  PROCESS_INFORMATION process;
  if (StartSelf("--orphaner", &process)) {
    WaitForSingleObject(process.hProcess, LIFETIME_MS);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  Sleep(LIFETIME_MS);
}

void Family() {
  PROCESS_INFORMATION first, second;
  if (!StartSelf("--leaf", &first) || !StartSelf("--leaf", &second)) return;
  printf("%lu %lu %lu\n", GetCurrentProcessId(), first.dwProcessId, second.dwProcessId);
  fflush(stdout);
  Sleep(LIFETIME_MS);
}

// Starts a process outside its own tree: the child that starts it writes
// its id and ends.
void Escape() {
  PROCESS_INFORMATION process;
  if (!StartSelf("--orphaner", &process)) return;
  WaitForSingleObject(process.hProcess, LIFETIME_MS);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Whether the process of the id in the query runs this program.
void Alive() {
  const char *query = getenv("QUERY_STRING");
  DWORD id = query ? strtoul(query, nullptr, 10) : 0;
  HANDLE process = id && id != GetCurrentProcessId()
                       ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)
                       : nullptr;
  bool alive = false;
  if (process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
    char self[MAX_PATH], other[MAX_PATH];
    DWORD length = sizeof other;
    GetModuleFileNameA(nullptr, self, sizeof self);
    alive = QueryFullProcessImageNameA(process, 0, other, &length) && _stricmp(self, other) == 0;
  }
  if (process) CloseHandle(process);
  Say(alive ? "alive" : "gone");
}

void StartOrphans() {
  for (int i = 0; i < 2; ++i) {
    PROCESS_INFORMATION process;
    if (!StartSelf("--nap", &process)) continue;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  Say("forked");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  std::string mode = argv[1][0] == '-' ? argv[1] : Mode(argv[argc - 1]);
  if (mode == "silent") {
    Say("started");
    Sleep(LIFETIME_MS);
  } else if (mode == "hello") {
    Say("hi");
    Sleep(LIFETIME_MS);
  } else if (mode == "linger") {
    Say("started");
    WaitForEndFile(argv[argc - 1]);
  } else if (mode == "ticker") {
    for (DWORD waited = 0; waited < LIFETIME_MS; waited += 50) {
      Say("tick");
      Sleep(50);
    }
  } else if (mode == "tree") {
    Generation("--middle");
  } else if (mode == "--middle") {
    Generation("--leaf");
  } else if (mode == "stdtree") {
    Generation("--stdmiddle", stderr);
  } else if (mode == "--stdmiddle") {
    Generation("--leaf", stderr);
  } else if (mode == "stdecho") {
    StandardEcho();
  } else if (mode == "stdremote") {
    const char *address = getenv("REMOTE_ADDR");
    const char *port = getenv("REMOTE_PORT");
    printf("Content-Type: text/plain\n\n%s %s\n", address ? address : "-", port ? port : "-");
    fflush(stdout);
  } else if (mode == "--short-name" && argc == 3) {
    char shortPath[MAX_PATH];
    if (GetShortPathNameA(argv[2], shortPath, sizeof shortPath) == 0) return 1;
    const char *name = strrchr(shortPath, '\\');
    printf("%s", name ? name + 1 : shortPath);
    fflush(stdout);
  } else if (mode == "--leaf") {
    Sleep(LIFETIME_MS);
  } else if (mode == "exit") {
    return 0;
  } else if (mode == "closeout") {
    fclose(stdout);
    CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
    Sleep(LIFETIME_MS);
  } else if (mode == "flood") {
    Flood();
  } else if (mode == "ignore") {
    Say("ignored");
  } else if (mode == "orphans") {
    StartOrphans();
  } else if (mode == "--nap") {
    Sleep(1000);
  } else if (mode == "pause") {
    Pause();
  } else if (mode == "doublefork") {
    DoubleFork();
  } else if (mode == "family") {
    Family();
  } else if (mode == "nap") {
    printf("%lu\n", GetCurrentProcessId());
    fflush(stdout);
    Sleep(LIFETIME_MS);
  } else if (mode == "escape") {
    Escape();
    Sleep(LIFETIME_MS);
  } else if (mode == "leave") {
    Escape();
  } else if (mode == "alive") {
    Alive();
  } else if (mode == "--orphaner") {
    StartOrphan();
  } else if (mode == "crash") {
    Say("before");
    // No handler, no clean-up, the exit code of an access violation.
    TerminateProcess(GetCurrentProcess(), 0xC0000005);
  } else {
    Say("unknown script");
    return 1;
  }
  return 0;
}
