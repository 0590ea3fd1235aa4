// Helpers of the CGI unit tests: child programs run through the platform
// layer as the server runs a CGI program.
#ifndef TARVELD_CGI_SUPPORT_H
#define TARVELD_CGI_SUPPORT_H

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

}  // namespace unit

#endif
