#include "unit/CgiSupport.h"

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/platform.h"

namespace unit {

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ChildResult RunChild(const std::string &program, const std::string &arguments,
                     const std::string &scriptPath, const std::string &environment,
                     const std::string &input) {
  ChildResult result;
  PlatHandle inRead, inWrite, outRead, outWrite;
  if (PlatPipeCreate(&inRead, &inWrite) != 0) return result;
  if (PlatPipeCreate(&outRead, &outWrite) != 0) return result;
  PlatProcessStart start{program.c_str(), arguments.c_str(), scriptPath.c_str(),
                         environment.c_str(), inRead, outWrite};
  PlatProcessInfo info;
  int created = PlatProcessCreate(&start, &info);
  PlatHandleClose(inRead);
  PlatHandleClose(outWrite);
  if (created != 0) {
    PlatHandleClose(inWrite);
    PlatHandleClose(outRead);
    return result;
  }
  result.started = true;
  // A child that ends without reading makes this fail (EPIPE, no signal);
  // its output tells the rest.
  uint32_t written = 0;
  PlatHandleWrite(inWrite, input.data(), static_cast<uint32_t>(input.size()), &written);
  PlatHandleClose(inWrite);

  auto begin = Clock::now();
  char chunk[4096];
  while (ElapsedMs(begin) < 10000) {
    pollfd watch{static_cast<int>(outRead), POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    ssize_t n = read(static_cast<int>(outRead), chunk, sizeof chunk);
    if (n <= 0) break;
    result.output.append(chunk, static_cast<size_t>(n));
  }
  PlatHandleClose(outRead);
  result.ended = WaitFor([&] {
    uint32_t code = 0;
    if (PlatProcessExitCode(info.process, &code) != 0) return false;
    result.exitCode = code;
    return true;
  });
  PlatProcessClose(info.process);
  return result;
}

std::string EnvironmentBlock(const std::vector<std::string> &variables) {
  std::string block;
  for (const std::string &variable : variables) {
    block += variable;
    block.push_back('\0');
  }
  return block;  // c_str() adds the closing NUL
}

ScriptDir::ScriptDir() {
  char pattern[] = "/tmp/tarveld-cgi-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScriptDir::~ScriptDir() {
  for (const std::string &file : files_) unlink(file.c_str());
  rmdir(path_.c_str());
}

std::string ScriptDir::Write(const std::string &name, const std::string &content) {
  std::string path = path_ + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  files_.push_back(path);
  return path;
}

std::vector<int> OwnChildren() {
  std::vector<int> children;
  DIR *tasks = opendir("/proc/self/task");
  if (!tasks) return children;
  while (dirent *task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::istringstream list(ReadText(std::string("/proc/self/task/") + task->d_name + "/children"));
    int pid;
    while (list >> pid) children.push_back(pid);
  }
  closedir(tasks);
  return children;
}

bool ProcessReaped(int pid) { return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0; }

bool WaitFor(const std::function<bool()> &condition, int timeoutMs) {
  auto begin = Clock::now();
  for (;;) {
    if (condition()) return true;
    if (ElapsedMs(begin) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace unit
