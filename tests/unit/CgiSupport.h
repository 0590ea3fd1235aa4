// Helpers of the CGI unit tests: child programs run through the platform
// layer, temporary scripts, and the test process's own children.
#ifndef TARVELD_CGI_SUPPORT_H
#define TARVELD_CGI_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

namespace unit {

// What a child program wrote to its standard output, and how it ended.
struct ChildResult {
  bool started = false;
  bool ended = false;
  std::string output;
  unsigned exitCode = 0;
};

// Runs a program as the server runs a CGI program (program, argument text,
// script path, environment block), feeds it `input` and closes its input,
// then collects its output until it ends (at most 10 seconds).
ChildResult RunChild(const std::string &program, const std::string &arguments,
                     const std::string &scriptPath, const std::string &environment,
                     const std::string &input = "");

// An environment block from NAME=value strings.
std::string EnvironmentBlock(const std::vector<std::string> &variables);

// A temporary folder, removed with its files at the end of the test.
class ScriptDir {
 public:
  ScriptDir();
  ~ScriptDir();
  ScriptDir(const ScriptDir &) = delete;
  ScriptDir &operator=(const ScriptDir &) = delete;
  std::string Write(const std::string &name, const std::string &content);

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// Direct children of the test process, zombies included.
std::vector<int> OwnChildren();
// True when /proc has no entry for the process any more (reaped).
bool ProcessReaped(int pid);
// Polls the condition every 10 ms for at most timeoutMs.
bool WaitFor(const std::function<bool()> &condition, int timeoutMs = 5000);

}  // namespace unit

#endif
