// Win32 backend of CGI child processes: anonymous pipes, handle duplication,
// CreateProcessA with the pipe ends as standard handles, and the exit code.
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

HANDLE Native(PlatHandle handle) { return reinterpret_cast<HANDLE>(handle); }
PlatHandle Plat(HANDLE handle) { return reinterpret_cast<PlatHandle>(handle); }
HANDLE Native(PlatProcess process) { return reinterpret_cast<HANDLE>(process); }

}  // namespace

int PlatPipeCreate(PlatHandle *readEnd, PlatHandle *writeEnd, int inheritable,
                   uint32_t suggestedSize) {
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = inheritable ? TRUE : FALSE;
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  if (!SysCreatePipe(&reader, &writer, &attributes, suggestedSize)) return -1;
  *readEnd = Plat(reader);
  *writeEnd = Plat(writer);
  return 0;
}

int PlatHandleDuplicate(PlatHandle handle, PlatHandle *duplicate) {
  HANDLE copy = nullptr;
  HANDLE self = GetCurrentProcess();
  if (!SysDuplicateHandle(self, Native(handle), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return -1;
  *duplicate = Plat(copy);
  return 0;
}

int PlatHandleClose(PlatHandle handle) {
  if (handle == PLAT_INVALID_HANDLE) return 0;
  return CloseHandle(Native(handle)) ? 0 : -1;
}

// Only the server's own end of a pipe is switched: a write then takes what
// fits into the pipe and returns at once.
int PlatHandleSetNonBlocking(PlatHandle handle) {
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  return SetNamedPipeHandleState(Native(handle), &mode, nullptr, nullptr) ? 0 : -1;
}

int PlatPipePeek(PlatHandle handle, uint32_t cap, uint32_t *available) {
  DWORD read = 0;
  DWORD total = 0;
  if (!SysPeekNamedPipe(Native(handle), nullptr, cap, &read, &total, nullptr)) return -1;
  // Without a data buffer some systems report only the total waiting.
  if (read == 0) read = total < cap ? total : cap;
  *available = read;
  return 0;
}

int PlatHandleRead(PlatHandle handle, void *buffer, uint32_t length, uint32_t *done) {
  DWORD count = 0;
  BOOL ok = SysReadFile(Native(handle), buffer, length, &count, nullptr);
  *done = count;
  return ok ? 0 : -1;
}

int PlatHandleWrite(PlatHandle handle, const void *buffer, uint32_t length, uint32_t *done) {
  DWORD count = 0;
  BOOL ok = WriteFile(Native(handle), buffer, length, &count, nullptr);
  *done = count;
  return ok ? 0 : -1;
}

// The program by its own name (no search path), the command line as
// composed, the environment block as the whole environment, the pipe ends as
// standard input and output, no standard error, a hidden window.
int PlatProcessCreate(const PlatProcessStart *start, PlatProcessInfo *info) {
  size_t size = strlen(start->commandLine) + 1;
  char *commandLine = static_cast<char *>(malloc(size));  // CreateProcessA may write into it
  if (!commandLine) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  memcpy(commandLine, start->commandLine, size);

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = Native(start->stdIn);
  startup.hStdOutput = Native(start->stdOut);
  startup.hStdError = nullptr;

  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);
  BOOL created = CreateProcessA(start->program, commandLine, nullptr, nullptr, TRUE, 0,
                                const_cast<char *>(start->environment), nullptr, &startup,
                                &process);
  DWORD error = GetLastError();
  free(commandLine);
  if (!created) {
    SetLastError(error);
    return -1;
  }
  info->process = reinterpret_cast<PlatProcess>(process.hProcess);
  info->thread = Plat(process.hThread);
  info->processId = process.dwProcessId;
  return 0;
}

int PlatProcessExitCode(PlatProcess process, uint32_t *code) {
  DWORD exitCode = 0;
  if (!SysGetExitCodeProcess(Native(process), &exitCode)) return -1;
  *code = exitCode;
  return 0;
}

int PlatProcessClose(PlatProcess process) { return CloseHandle(Native(process)) ? 0 : -1; }

// Windows keeps no zombies: an ended process is gone once its last handle is.
int PlatOrphanReaperStart(const char **) { return 0; }

// Windows keeps no process groups of this kind: the tree walk over the
// process list is all that ends a run's descendants.
int PlatProcessGroupTerminate(PlatProcess) { return 0; }
