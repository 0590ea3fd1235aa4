#include "unit/CgiSupport.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "platform/platform.h"
#include "support/Basics.h"

namespace unit {

ChildResult RunChild(const std::string &program, const std::string &arguments,
                     const std::string &scriptPath, const std::string &environment,
                     const std::string &input) {
  ChildResult result;
  PlatHandle inRead, inWrite, outRead, outWrite;
  if (PlatPipeCreate(&inRead, &inWrite) != 0) return result;
  if (PlatPipeCreate(&outRead, &outWrite) != 0) return result;
  PlatProcessStart start{program.c_str(), arguments.c_str(), scriptPath.c_str(),
                         environment.c_str(), inRead, outWrite, PLAT_INVALID_HANDLE, nullptr, nullptr};
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

  auto begin = std::chrono::steady_clock::now();
  char chunk[4096];
  while (support::MillisecondsSince(begin) < 10000) {
    pollfd watch{static_cast<int>(outRead), POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    ssize_t n = read(static_cast<int>(outRead), chunk, sizeof chunk);
    if (n <= 0) break;
    result.output.append(chunk, static_cast<size_t>(n));
  }
  PlatHandleClose(outRead);
  result.ended = support::WaitFor([&] {
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

}  // namespace unit
