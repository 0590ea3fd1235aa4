// The process list and the termination walk: the list read from /proc, a
// walk over parent links that loop or name a reused id, and a child that has
// already ended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "cgi/Cgi.h"
#include "cgi/CgiRun.h"
#include "log/Log.h"
#include "support/Basics.h"
#include "support/Process.h"
#include "unit/TestSupport.h"

using support::Count;
using support::WaitFor;
using unit::Capture;
using unit::ConfigScope;

namespace {

// Far above any pid the system hands out: opening them always fails.
const uint32_t NoSuchPid = 2000000001u;

const PlatProcessEntry *Find(const std::vector<PlatProcessEntry> &list, uint32_t id) {
  for (const PlatProcessEntry &entry : list)
    if (entry.processId == id) return &entry;
  return nullptr;
}

std::vector<PlatProcessEntry> ListProcesses() {
  PlatProcessEntry *entries = nullptr;
  uint32_t count = 0;
  const char *failedCall = "";
  std::vector<PlatProcessEntry> list;
  if (PlatProcessList(&entries, &count, &failedCall) != 0) return list;
  list.assign(entries, entries + count);
  free(entries);
  return list;
}

}  // namespace

TEST(ProcessList, ListsLiveProcessesWithTheirParentsNeverCreatedBeforeThem) {
  const char *failedCall = "";
  ASSERT_EQ(PlatProcessListInit(&failedCall), 0) << failedCall;
  std::vector<PlatProcessEntry> list = ListProcesses();
  const PlatProcessEntry *self = Find(list, static_cast<uint32_t>(getpid()));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->parentId, static_cast<uint32_t>(getppid()));
  const PlatProcessEntry *parent = Find(list, self->parentId);
  ASSERT_NE(parent, nullptr);
  EXPECT_GE(self->creationTime, parent->creationTime);
  EXPECT_GT(self->creationTime, 0u);
}

TEST(TerminateChildTree, LoopingParentLinksAreWalkedOnce) {
  ConfigScope config;
  // 1 -> 2 -> 3 -> 1 in a circle, and a process that is its own parent.
  std::vector<PlatProcessEntry> circle = {{NoSuchPid, NoSuchPid + 2, 5},
                                          {NoSuchPid + 1, NoSuchPid, 5},
                                          {NoSuchPid + 2, NoSuchPid + 1, 5},
                                          {NoSuchPid + 3, NoSuchPid + 3, 5}};
  std::vector<unsigned char> visited(circle.size(), 0);
  visited[0] = 1;  // the walk's own start, as TerminateChild marks it
  Capture out;
  EXPECT_EQ(TerminateChildTree(circle.data(), 4, 0, visited.data()), -1);
  std::vector<unsigned char> none(circle.size(), 0);
  EXPECT_EQ(TerminateChildTree(circle.data(), 4, 3, none.data()), -1);
  std::string log = out.Text();
  // Three processes of the circle, then the self-parented one twice: as its
  // own child once and as itself.
  EXPECT_EQ(Count(log, "[W] Failed OpenProcess() errno=3\n"), 5) << log;
}

// The list keeps the id of a creator that has ended, and ids are reused: a
// program that got such an id must not pull in the processes that still name
// it, nor may the walk ever reach the server itself.
TEST(TerminateChildTree, OnlyProcessesCreatedAfterTheirParentAndNeverTheServer) {
  ConfigScope config;
  const uint32_t program = NoSuchPid, child = NoSuchPid + 1, stale = NoSuchPid + 2;
  std::vector<PlatProcessEntry> list = {
      {stale, program, 100},                            // named an earlier holder of the id
      {program, 7, 200},                                // the program
      {child, program, 300},                            // its real child
      {NoSuchPid + 3, stale, 400},                      // below the stale one
      {static_cast<uint32_t>(getpid()), program, 500}}; // the server, as if below it
  std::vector<unsigned char> visited(list.size(), 0);
  visited[1] = 1;
  Capture out;
  EXPECT_EQ(TerminateChildTree(list.data(), static_cast<uint32_t>(list.size()), 1, visited.data()),
            -1);
  std::string log = out.Text();
  // The child and the program: their ids cannot be opened. Nothing else is
  // tried, and the server is not even opened.
  EXPECT_EQ(Count(log, "[W] Failed OpenProcess() errno=3\n"), 2) << log;
  EXPECT_EQ(Count(log, "Failed OpenProcess()"), 2) << log;
  EXPECT_EQ(visited[0] + visited[3] + visited[4], 0);
  EXPECT_EQ(visited[2], 1);
}

// A chain of thousands of generations, walked on a transaction thread's
// own small stack as the server walks it at a time-out: the walk keeps its
// stack on the heap, ends every generation deepest first, and returns.
TEST(TerminateChildTree, ThousandsOfGenerationsOnATransactionThread) {
  ConfigScope config;
  LogConfigure(-2, 0, 0);  // twenty thousand failed opens, none of them written
  const uint32_t generations = 20000;
  static std::vector<PlatProcessEntry> chain;
  chain.clear();
  for (uint32_t i = 0; i < generations; ++i)
    chain.push_back({NoSuchPid + i, i == 0 ? 7 : NoSuchPid + i - 1, 100 + i});
  static std::vector<unsigned char> visited;
  visited.assign(generations, 0);
  visited[0] = 1;
  static std::atomic<int> result{1};
  result = 1;
  uint32_t id = 0;
  PlatThread thread = PlatThreadCreateSuspended(
      [](void *) -> uint32_t {
        result = TerminateChildTree(chain.data(), static_cast<uint32_t>(chain.size()), 0,
                                    visited.data());
        return 0;
      },
      nullptr, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_NE(PlatThreadResume(thread), 0xFFFFFFFFu);
  EXPECT_TRUE(WaitFor([] { return result != 1; }));
  PlatThreadClose(thread);
  EXPECT_EQ(result, -1);  // the program itself could not be opened
  EXPECT_EQ(std::count(visited.begin(), visited.end(), 1), static_cast<long>(generations));
}

// The walk ends a listed process only while that process is still the
// listed one: under a reused id another process, started later, is never
// ended.
TEST(TerminateChildTree, AReusedIdNeverEndsTheProcessThatHasItNow) {
  ConfigScope config;
  PlatHandle inRead, inWrite, outRead, outWrite;
  ASSERT_EQ(PlatPipeCreate(&inRead, &inWrite), 0);
  ASSERT_EQ(PlatPipeCreate(&outRead, &outWrite), 0);
  PlatProcessStart start{"/bin/sleep", "30", nullptr, "", inRead, outWrite, PLAT_INVALID_HANDLE,
                         nullptr, nullptr};
  PlatProcessInfo info;
  ASSERT_EQ(PlatProcessCreate(&start, &info), 0);
  std::vector<PlatProcessEntry> list = ListProcesses();
  const PlatProcessEntry *now = Find(list, info.processId);
  ASSERT_NE(now, nullptr);
  // As listed before the id changed hands: the same id, an earlier start.
  PlatProcessEntry earlier = {info.processId, now->parentId, now->creationTime - 1};
  std::vector<unsigned char> visited(1, 0);
  {
    Capture out;
    EXPECT_EQ(TerminateChildTree(&earlier, 1, 0, visited.data()), -1);
    EXPECT_EQ(out.Text(), "[W] Failed OpenProcess() errno=3\n");
  }
  uint32_t code = 0;
  EXPECT_EQ(PlatProcessExitCode(info.process, &code), PLAT_PROCESS_RUNNING);
  PlatProcessEntry listed = *now;
  visited[0] = 0;
  Capture out;
  EXPECT_EQ(TerminateChildTree(&listed, 1, 0, visited.data()), 0);
  EXPECT_NE(out.Text().find("[I] Terminated child process. ("), std::string::npos);
  EXPECT_TRUE(WaitFor([&info] {
    uint32_t ended = 0;
    return PlatProcessExitCode(info.process, &ended) == 0;
  }));
  PlatProcessClose(info.process);
  for (PlatHandle handle : {inRead, inWrite, outRead, outWrite}) PlatHandleClose(handle);
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
  ASSERT_EQ(PlatPipeCreate(&inRead, &inWrite), 0);
  ASSERT_EQ(PlatPipeCreate(&outRead, &outWrite), 0);
  PlatProcessStart start{"/bin/true", "", "x", "", inRead, outWrite, PLAT_INVALID_HANDLE, nullptr,
                         nullptr};
  PlatProcessInfo info;
  ASSERT_EQ(PlatProcessCreate(&start, &info), 0);
  int pid = static_cast<int>(info.processId);
  EXPECT_TRUE(WaitFor([pid] {
    support::ProcessStat stat;
    return support::ReadProcessStat(pid, &stat) && stat.state == 'Z';
  }));
  {
    Capture out;
    EXPECT_EQ(TerminateChild(info.processId), 0);
    EXPECT_EQ(out.Text(), "");
  }
  uint32_t code = 99;
  EXPECT_EQ(PlatProcessExitCode(info.process, &code), 0);
  EXPECT_EQ(code, 0u);
  PlatProcessClose(info.process);
  for (PlatHandle handle : {inRead, inWrite, outRead, outWrite}) PlatHandleClose(handle);
  EXPECT_TRUE(support::ProcessReaped(pid));
}
