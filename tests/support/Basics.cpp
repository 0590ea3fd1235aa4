#include "support/Basics.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace support {

TempDir::TempDir(const std::string &prefix) {
  std::random_device random;
  fs::path base = fs::temp_directory_path();
  // Only the creator of a folder gets true: no two objects share one.
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    fs::path candidate = base / (prefix + "-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) path_ = candidate.string();
  }
  if (path_.empty()) throw std::runtime_error("cannot create a folder in " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::Path(const std::string &relative) const {
  return (fs::path(path_) / relative).make_preferred().string();
}

std::string TempDir::Write(const std::string &relative, const std::string &content) const {
  fs::path full = Path(relative);
  fs::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
  return full.string();
}

std::string TempDir::Mkdir(const std::string &relative) const {
  std::string full = Path(relative);
  fs::create_directories(full);
  return full;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

int Count(const std::string &text, const std::string &needle) {
  int count = 0;
  if (needle.empty()) return 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

std::string ProxyVersion2(unsigned char command, unsigned char family, const std::string &block) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  header += static_cast<char>(0x20 | command);
  header += static_cast<char>(family);
  header += static_cast<char>(block.size() >> 8);
  header += static_cast<char>(block.size() & 0xFF);
  return header + block;
}

bool WaitFor(const std::function<bool()> &condition, int timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (condition()) return true;
    if (MillisecondsSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace support
