// Helpers of every test suite, on Linux and Windows alike: temporary
// folders, whole files, counting in a text, and polling for a condition.
#ifndef TARVELD_SUPPORT_BASICS_H
#define TARVELD_SUPPORT_BASICS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace support {

// A fresh folder under the system's temporary folder (TMPDIR where it is
// set), removed with everything in it when the object ends.
class TempDir {
 public:
  explicit TempDir(const std::string &prefix = "tarveld");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // A path below the folder, with this platform's separators.
  std::string Path(const std::string &relative) const;
  // Writes a file, creating its folders; returns its full path.
  std::string Write(const std::string &relative, const std::string &content) const;
  std::string Mkdir(const std::string &relative) const;

 private:
  std::string path_;
};

// The whole content of a file, or "" when it cannot be read.
std::string ReadFile(const std::string &path);
// How often needle stands in text (occurrences do not overlap).
int Count(const std::string &text, const std::string &needle);
int64_t MillisecondsSince(std::chrono::steady_clock::time_point start);
// A PROXY protocol version 2 header: its signature, the command (0 local,
// 1 proxy), the family and protocol byte, and the address block.
std::string ProxyVersion2(unsigned char command, unsigned char family, const std::string &block);

// Polls the condition every 10 ms: true as soon as it holds, false once
// timeoutMs have passed without.
bool WaitFor(const std::function<bool()> &condition, int timeoutMs = 5000);

}  // namespace support

#endif
