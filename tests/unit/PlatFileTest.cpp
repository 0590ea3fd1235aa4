// The platform's file system calls: full paths of document paths, and
// documents opened as regular files with their sizes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/Basics.h"

namespace {

std::string Full(const char *path) {
  char buffer[PLAT_MAX_PATH];
  uint32_t length = PlatFullPath(path, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return "<failed>";
  EXPECT_EQ(length, strlen(buffer)) << path;
  return buffer;
}

std::string Cwd() {
  char buffer[PLAT_MAX_PATH];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}

}  // namespace

TEST(PlatFullPath, CollapsesLexically) {
  EXPECT_EQ(Full("/a/b/../c"), "/a/c");
  EXPECT_EQ(Full("/a/./b//c"), "/a/b/c");
  EXPECT_EQ(Full("//a///b"), "/a/b");
  EXPECT_EQ(Full("/../../a"), "/a");  // ".." at the root stays there
  EXPECT_EQ(Full("/a/.."), "/");
  EXPECT_EQ(Full("/a/../"), "/");
  EXPECT_EQ(Full("/"), "/");
  EXPECT_EQ(Full("//"), "/");
  EXPECT_EQ(Full("/a/b/"), "/a/b/");  // a separator at the end stays
  EXPECT_EQ(Full("/a/b/./"), "/a/b/");
  EXPECT_EQ(Full("/a/b/."), "/a/b");
  EXPECT_EQ(Full("/a/.../b/..c/c.."), "/a/.../b/..c/c..");
  // Nothing is looked up: missing folders and links are names like any other.
  EXPECT_EQ(Full("/no/such/folder/../x"), "/no/such/x");
  EXPECT_EQ(Full("/proc/self/../x"), "/proc/x");
}

TEST(PlatFullPath, RelativeToTheCurrentDirectory) {
  std::string cwd = Cwd();
  ASSERT_FALSE(cwd.empty());
  EXPECT_EQ(Full("x/y"), cwd + "/x/y");
  EXPECT_EQ(Full("."), cwd);
  EXPECT_EQ(Full("./x/../y/"), cwd + "/y/");
  std::string parent = cwd.substr(0, cwd.rfind('/'));
  EXPECT_EQ(Full(".."), parent.empty() ? "/" : parent);
}

TEST(PlatFullPath, SizesAndFailures) {
  char buffer[8];
  memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(PlatFullPath("/abc/def", buffer, sizeof buffer), 9u);  // size with NUL
  EXPECT_EQ(std::string(buffer, sizeof buffer), "ZZZZZZZZ");        // untouched
  EXPECT_EQ(PlatFullPath("/abc/de", buffer, sizeof buffer), 7u);    // just fits
  EXPECT_STREQ(buffer, "/abc/de");
  EXPECT_EQ(PlatFullPath("/x/../abc/def/..", buffer, sizeof buffer), 4u);
  EXPECT_STREQ(buffer, "/abc");

  errno = 0;
  EXPECT_EQ(PlatFullPath("", buffer, sizeof buffer), 0u);
  EXPECT_EQ(errno, EINVAL);
}

TEST(PlatFile, RegularFilesOnly) {
  support::TempDir dir;
  std::string file = dir.Write("doc.bin", "0123456789");
  int64_t size = -1;
  int fd = PlatFileOpenSequential(file.c_str(), &size);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(size, 10);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  char buffer[8];
  EXPECT_EQ(PlatFileRead(fd, buffer, sizeof buffer), 8);
  EXPECT_EQ(PlatFileRead(fd, buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_EQ(PlatFileRead(fd, buffer, sizeof buffer), 0);
  EXPECT_EQ(PlatFileClose(fd), 0);

  EXPECT_EQ(PlatFileOpenSequential(dir.path().c_str(), &size), -1);
  EXPECT_EQ(PlatLastError(), EISDIR);
  EXPECT_EQ(PlatFileOpenSequential((dir.path() + "/missing").c_str(), &size), -1);
  EXPECT_EQ(PlatLastError(), ENOENT);
  std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(PlatFileOpenSequential(fifo.c_str(), &size), -1);  // returns, no writer needed
  EXPECT_EQ(PlatFileOpenSequential("/dev/null", &size), -1);
}

TEST(PlatFile, SizesBeyondFourGiB) {
  support::TempDir dir;
  std::string file = dir.Write("sparse", "");
  ASSERT_EQ(truncate(file.c_str(), 5LL * 1024 * 1024 * 1024 + 3), 0);
  int64_t size = -1;
  int fd = PlatFileOpenSequential(file.c_str(), &size);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(size, 5LL * 1024 * 1024 * 1024 + 3);
  PlatFileClose(fd);
}

TEST(PlatFile, AppendsWholeWritesAndTellsTheModificationTime) {
  support::TempDir dir;
  std::string path = dir.path() + "/logs.txt";
  int fd = PlatFileOpenAppend(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777 & ~0640, 0u) << "never readable by others";
  EXPECT_EQ(PlatFileWrite(fd, "one\n", 4), 0);
  // Another writer cuts the file short: the next write still goes to its end.
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  EXPECT_EQ(PlatFileWrite(fd, "two\n", 4), 0);
  int second = PlatFileOpenAppend(path.c_str());
  ASSERT_GE(second, 0);
  EXPECT_EQ(PlatFileWrite(second, "three\n", 6), 0);
  EXPECT_EQ(PlatFileWrite(fd, "four\n", 5), 0);
  EXPECT_EQ(support::ReadFile(path), "two\nthree\nfour\n");

  ASSERT_EQ(system(("touch -d '1994-11-06 08:49:37 UTC' " + path).c_str()), 0);
  int64_t modified = 0;
  EXPECT_EQ(PlatFileModifiedTime(second, &modified), 0);
  EXPECT_EQ(modified, 784111777);
  PlatFileClose(second);
  PlatFileClose(fd);
  EXPECT_EQ(PlatFileWrite(fd, "x", 1), -1);
  EXPECT_EQ(PlatFileOpenAppend(dir.path().c_str()), -1);  // a folder
  EXPECT_EQ(PlatFileOpenAppend((dir.path() + "/no/such/folder/log").c_str()), -1);
}
