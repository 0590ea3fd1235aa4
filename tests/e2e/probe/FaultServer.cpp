// The server with faults armed in the platform layer's system-call table,
// for the end-to-end tests of failure paths that a healthy system never
// takes. Leading arguments "--fail=name:error[:times[:skip]]" arm a fault
// each (PlatSyscallFail); the rest is the server's own command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/Core.h"
#include "fault/Fault.h"

namespace {

const char FailOption[] = "--fail=";

// Arms the fault of one "name:error[:times[:skip]]"; false when it names no
// call or is malformed.
bool ArmFault(const char *spec) {
  std::string text = spec;
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string name = text.substr(0, colon);
  int numbers[3] = {0, 1, 0};  // error, times, skip
  const char *at = spec + colon + 1;
  for (int &number : numbers) {
    char *end = nullptr;
    number = static_cast<int>(strtol(at, &end, 10));
    if (end == at) return false;
    at = end;
    if (*at != ':') break;
    ++at;
  }
  if (*at != '\0') return false;
  return PlatSyscallFail(name.c_str(), numbers[0], numbers[1], numbers[2]) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  int first = 1;
  for (; first < argc && strncmp(argv[first], FailOption, strlen(FailOption)) == 0; ++first) {
    if (!ArmFault(argv[first] + strlen(FailOption))) {
      fprintf(stderr, "fault_server: cannot arm %s\n", argv[first]);
      return 2;
    }
  }
  argv[first - 1] = argv[0];
  return ServerEntry(argc - first + 1, argv + first - 1);
}
