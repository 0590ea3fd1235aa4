#include "support/Process.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "support/Basics.h"

namespace support {

namespace {

std::string ProcPath(pid_t pid, const std::string &entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// The names in a /proc folder, without "." and "..".
std::vector<std::string> List(const std::string &folder) {
  std::vector<std::string> names;
  DIR *dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(dir);
  return names;
}

// The fields of /proc/<pid>/stat behind the name in parentheses (which may
// hold blanks): the state is field 3 of the line.
std::istringstream FieldsAfterName(pid_t pid) {
  std::string stat = ReadFile(ProcPath(pid, "stat"));
  size_t close = stat.rfind(')');
  bool cut = close == std::string::npos || close + 2 > stat.size();
  return std::istringstream(cut ? "" : stat.substr(close + 2));
}

}  // namespace

bool ReadProcessStat(pid_t pid, ProcessStat *stat) {
  std::istringstream fields = FieldsAfterName(pid);
  std::string skip;
  fields >> stat->state >> stat->parent;
  for (int field = 5; field < 22; ++field) fields >> skip;
  fields >> stat->startTime;  // field 22
  return !fields.fail();
}

bool ProcessGone(pid_t pid) {
  ProcessStat stat;
  return !ReadProcessStat(pid, &stat) || stat.state == 'Z' || stat.state == 'X';
}

bool ProcessReaped(pid_t pid) { return access(ProcPath(pid, "").c_str(), F_OK) != 0; }

std::vector<pid_t> ChildProcesses(pid_t pid) {
  std::vector<pid_t> children;
  for (const std::string &task : List(ProcPath(pid, "task"))) {
    std::istringstream list(ReadFile(ProcPath(pid, "task/" + task + "/children")));
    pid_t child;
    while (list >> child) children.push_back(child);
  }
  return children;
}

void KillDescendants(pid_t pid) {
  for (pid_t child : ChildProcesses(pid)) {
    KillDescendants(child);
    kill(child, SIGKILL);
  }
}

std::map<int, std::string> Descriptors(pid_t pid) {
  std::map<int, std::string> held;
  for (const std::string &fd : List(ProcPath(pid, "fd"))) {
    char target[256];
    ssize_t length = readlink(ProcPath(pid, "fd/" + fd).c_str(), target, sizeof target - 1);
    if (length > 0) held[atoi(fd.c_str())] = std::string(target, static_cast<size_t>(length));
  }
  return held;
}

int OpenDescriptors(pid_t pid) {
  if (access(ProcPath(pid, "fd").c_str(), F_OK) != 0) return -1;
  return static_cast<int>(List(ProcPath(pid, "fd")).size());
}

int ThreadCount(pid_t pid) {
  std::string status = ReadFile(ProcPath(pid, "status"));
  size_t at = status.find("\nThreads:");
  return at == std::string::npos ? -1 : atoi(status.c_str() + at + 9);
}

double CpuSeconds(pid_t pid) {
  std::istringstream fields = FieldsAfterName(pid);
  // Fields 3 to 13, then utime and stime.
  std::string skip;
  for (int field = 3; field <= 13; ++field) fields >> skip;
  long long user = 0, system = 0;
  if (!(fields >> user >> system)) return -1;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace support
