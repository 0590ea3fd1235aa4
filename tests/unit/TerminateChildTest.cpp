// The process snapshot and the termination walk: the stand-in query, a walk
// over parent links that loop, and a child that has already ended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cgi/Cgi.h"
#include "cgi/CgiRun.h"
#include "unit/CgiSupport.h"
#include "unit/TestSupport.h"

using unit::Capture;
using unit::ConfigScope;
using unit::WaitFor;

namespace {

// Records as the POSIX snapshot packs them.
struct Record {
  uint32_t next;
  uint32_t processId;
  uint32_t parentId;
};

// Far above any pid the system hands out: opening them always fails.
const uint32_t NoSuchPid = 2000000001u;

std::vector<Record> Chain(const std::vector<std::pair<uint32_t, uint32_t>> &pairs) {
  std::vector<Record> records;
  for (const auto &pair : pairs) records.push_back({sizeof(Record), pair.first, pair.second});
  records.back().next = 0;
  return records;
}

int Lines(const std::string &text, const std::string &line) {
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

PlatSystemInfoQuery LoadQuery() {
  void *module = PlatLibraryLoad("ntdll.dll");
  if (!module) return nullptr;
  return reinterpret_cast<PlatSystemInfoQuery>(
      PlatLibrarySymbol(module, "ZwQuerySystemInformation"));
}

char ProcessState(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE *file = fopen(path, "r");
  if (!file) return 0;
  char text[512] = {0};
  size_t length = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[length] = '\0';
  const char *close = strrchr(text, ')');
  return close && close[1] == ' ' ? close[2] : 0;
}

}  // namespace

TEST(Snapshot, StandInQueryListsLiveProcessesAndReportsTheSizeItNeeds) {
  EXPECT_EQ(PlatLibraryLoad("kernel32.dll"), nullptr);
  void *module = PlatLibraryLoad("ntdll.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(PlatLibrarySymbol(module, "NtOpenProcess"), nullptr);
  PlatSystemInfoQuery query = LoadQuery();
  ASSERT_NE(query, nullptr);

  Record tiny[1];
  uint32_t needed = 0;
  EXPECT_NE(query(PLAT_SYSTEM_PROCESS_INFORMATION, tiny, sizeof tiny, &needed), 0);
  EXPECT_GT(needed, sizeof tiny);

  std::vector<Record> buffer(needed / sizeof(Record) + 256);
  uint32_t length = static_cast<uint32_t>(buffer.size() * sizeof(Record));
  ASSERT_EQ(query(PLAT_SYSTEM_PROCESS_INFORMATION, buffer.data(), length, &needed), 0);
  bool foundSelf = false;
  int count = 0;
  for (const void *record = buffer.data(); record; ++count) {
    if (PlatSnapshotProcessId(record) == static_cast<uint32_t>(getpid())) {
      foundSelf = true;
      EXPECT_EQ(PlatSnapshotParentId(record), static_cast<uint32_t>(getppid()));
    }
    uint32_t offset = PlatSnapshotNextOffset(record);
    record = offset ? static_cast<const char *>(record) + offset : nullptr;
  }
  EXPECT_TRUE(foundSelf);
  EXPECT_EQ(static_cast<uint32_t>(count) * sizeof(Record), needed);
}

TEST(TerminateChildTree, LoopingParentLinksAreWalkedOnce) {
  ConfigScope config;
  // 1 -> 2 -> 3 -> 1 in a circle, and a process that is its own parent.
  std::vector<Record> circle =
      Chain({{NoSuchPid, NoSuchPid + 2}, {NoSuchPid + 1, NoSuchPid}, {NoSuchPid + 2, NoSuchPid + 1},
             {NoSuchPid + 3, NoSuchPid + 3}});
  std::vector<unsigned char> visited(circle.size(), 0);
  visited[0] = 1;  // the walk's own start, as TerminateChild marks it
  Capture out;
  EXPECT_EQ(TerminateChildTree(NoSuchPid, circle.data(), visited.data()), -1);
  std::vector<unsigned char> none(circle.size(), 0);
  EXPECT_EQ(TerminateChildTree(NoSuchPid + 3, circle.data(), none.data()), -1);
  std::string log = out.Text();
  // Three processes of the circle, then the self-parented one twice: as its
  // own child once and as itself.
  EXPECT_EQ(Lines(log, "[W] Failed OpenProcess() errno=3\n"), 5) << log;
}

TEST(TerminateChild, AnEndedChildIsNotInTheSnapshot) {
  ConfigScope config;
  ASSERT_EQ(TerminateChildInit(), 0);
  {
    Capture out;
    EXPECT_EQ(TerminateChild(NoSuchPid), 0);
    EXPECT_EQ(out.Text(), "");
  }
  // A child that has ended but is not reaped yet counts as ended.
  PlatHandle inRead, inWrite, outRead, outWrite;
  ASSERT_EQ(PlatPipeCreate(&inRead, &inWrite, 1, 1024), 0);
  ASSERT_EQ(PlatPipeCreate(&outRead, &outWrite, 1, 1024), 0);
  PlatProcessStart start{"/bin/true", "", "", "x", "", inRead, outWrite};
  PlatProcessInfo info;
  ASSERT_EQ(PlatProcessCreate(&start, &info), 0);
  int pid = static_cast<int>(info.processId);
  EXPECT_TRUE(WaitFor([pid] { return ProcessState(pid) == 'Z'; }));
  {
    Capture out;
    EXPECT_EQ(TerminateChild(info.processId), 0);
    EXPECT_EQ(out.Text(), "");
  }
  uint32_t code = PLAT_STILL_ACTIVE;
  EXPECT_EQ(PlatProcessExitCode(info.process, &code), 0);
  EXPECT_EQ(code, 0u);
  PlatProcessClose(info.process);
  for (PlatHandle handle : {inRead, inWrite, outRead, outWrite}) PlatHandleClose(handle);
  EXPECT_TRUE(unit::ProcessReaped(pid));
}
