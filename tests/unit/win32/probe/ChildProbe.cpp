// A child program for the process tests of the Win32 backend: reports its
// command line, its arguments and its whole environment, one line each, on
// standard output
// (text mode). With the first argument "wait" it then reads standard input
// to its end before it exits; with "259" it ends with that exit code. With
// "streams MSEC" it reports its current folder, writes a line on standard
// error, reads standard input (binary) to its end and reports the count
// and FNV-1a hash of the bytes, closes standard output and error, and
// sleeps MSEC milliseconds before it exits. With "contained" it reports
// whether it runs in a job, tries to start a copy of itself outside its
// job (and ends that copy at once should it run), starts a copy that
// sleeps ("nap": 30 s, silent) without any of its handles, reports that
// one's id, and exits at once, leaving it without a parent.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Streams(const char *sleepMsec) {
  char folder[MAX_PATH];
  GetCurrentDirectoryA(sizeof folder, folder);
  printf("CWD=%s\n", folder);
  fflush(stdout);
  fprintf(stderr, "ERR=to standard error\n");
  fflush(stderr);
  _setmode(_fileno(stdin), _O_BINARY);
  unsigned long long count = 0;
  uint32_t hash = 2166136261u;
  unsigned char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
    count += got;
    for (size_t i = 0; i < got; ++i) hash = (hash ^ buffer[i]) * 16777619u;
  }
  printf("READ=%llu HASH=%08x\n", count, static_cast<unsigned>(hash));
  fflush(stdout);
  fclose(stdout);
  fclose(stderr);
  Sleep(static_cast<DWORD>(atoi(sleepMsec)));
}

// Starts this program again with one argument and none of its handles.
bool StartSelf(const char *argument, DWORD flags, PROCESS_INFORMATION *process) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  char commandLine[MAX_PATH + 32];
  snprintf(commandLine, sizeof commandLine, "\"%s\" %s", self, argument);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  return CreateProcessA(self, commandLine, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, process) != 0;
}

void Contained() {
  BOOL inJob = FALSE;
  IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
  printf("JOB=%d\n", inJob ? 1 : 0);
  PROCESS_INFORMATION process;
  if (StartSelf("nap", CREATE_BREAKAWAY_FROM_JOB | CREATE_SUSPENDED, &process)) {
    printf("BREAKAWAY=started\n");
    TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    printf("BREAKAWAY=refused\n");
  }
  if (StartSelf("nap", 0, &process)) {
    printf("ORPHAN=%lu\n", process.dwProcessId);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "nap") == 0) {  // silent: it has no standard handles
    Sleep(30000);
    return 0;
  }
  printf("CMD=%s\n", GetCommandLineA());
  printf("ARGC=%d\n", argc);
  for (int i = 1; i < argc; ++i) printf("ARG=%s\n", argv[i]);
  char *block = GetEnvironmentStringsA();
  for (const char *entry = block; entry && *entry; entry += strlen(entry) + 1)
    printf("ENV=%s\n", entry);
  FreeEnvironmentStringsA(block);
  fflush(stdout);
  if (argc > 1 && strcmp(argv[1], "wait") == 0) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, stdin)) {
    }
  }
  if (argc > 2 && strcmp(argv[1], "streams") == 0) Streams(argv[2]);
  if (argc > 1 && strcmp(argv[1], "contained") == 0) Contained();
  if (argc > 1 && strcmp(argv[1], "259") == 0) return 259;
  return 3;
}
