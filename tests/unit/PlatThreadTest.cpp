// The POSIX backend keeps a system thread that finished its routine for a
// short while and hands it the next one. These tests hold it to what a
// thread of its own promises: routines that overlap run side by side, each
// sees its own identifier, and the kept threads end by themselves.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/Basics.h"
#include "support/Process.h"

namespace {

using support::WaitFor;

int ThreadsOfThisProcess() { return support::ThreadCount(getpid()); }

// The thread count once it has held for longer than a kept thread waits.
int SteadyThreadCount() {
  int last = ThreadsOfThisProcess(), steady = 0;
  for (int i = 0; i < 500 && steady < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int now = ThreadsOfThisProcess();
    steady = now == last ? steady + 1 : 0;
    last = now;
  }
  return last;
}

// What one routine saw; the routines of a round wait until all have started.
struct Round {
  int size = 0;
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  std::atomic<int> wrongIdentifier{0};
  std::atomic<int> timedOut{0};
};

struct Seen {
  Round *round;
  uint32_t id = 0;  // given by the creation
  pid_t systemThread = 0;
};

uint32_t MeetTheOthers(void *parameter) {
  Seen *seen = static_cast<Seen *>(parameter);
  Round *round = seen->round;
  seen->systemThread = static_cast<pid_t>(syscall(SYS_gettid));
  if (PlatCurrentThreadId() != seen->id) ++round->wrongIdentifier;
  ++round->started;
  if (!WaitFor([&] { return round->started.load() == round->size; }, 10000)) ++round->timedOut;
  ++round->finished;
  return 0;
}

// Starts `size` routines that can only finish together; returns the system
// threads they ran on.
std::set<pid_t> RunRound(int size) {
  Round round;
  round.size = size;
  std::vector<Seen> seen(size, Seen{&round});
  std::vector<PlatThread> handles;
  for (Seen &s : seen) {
    PlatThread handle = PlatThreadCreateSuspended(MeetTheOthers, &s, &s.id);
    EXPECT_NE(handle, nullptr);
    if (handle) handles.push_back(handle);
  }
  for (PlatThread handle : handles) EXPECT_EQ(PlatThreadResume(handle), 1u);
  EXPECT_TRUE(WaitFor([&] { return round.finished.load() == size; }, 20000));
  EXPECT_EQ(round.wrongIdentifier.load(), 0);
  EXPECT_EQ(round.timedOut.load(), 0) << "routines did not run side by side";
  for (PlatThread handle : handles) PlatThreadClose(handle);
  std::set<pid_t> systemThreads;
  std::set<uint32_t> identifiers;
  for (const Seen &s : seen) {
    systemThreads.insert(s.systemThread);
    identifiers.insert(s.id);
  }
  EXPECT_EQ(identifiers.size(), static_cast<size_t>(size)) << "an identifier came twice";
  EXPECT_EQ(systemThreads.size(), static_cast<size_t>(size)) << "two routines shared a thread";
  return systemThreads;
}

}  // namespace

TEST(PlatThreadReuse, OverlappingRoutinesRunSideBySideEachWithItsOwnIdentifier) {
  // Rounds that follow each other at once take the kept threads of the
  // round before, and one round larger than the last needs new ones.
  RunRound(8);
  RunRound(8);
  RunRound(24);
}

TEST(PlatThreadReuse, AFinishedThreadTakesTheNextRoutineAndEndsWhenNoneComes) {
  // The level to come back to: after a first routine, once its thread has
  // ended (a sanitizer's runtime starts a thread of its own with the first).
  RunRound(1);
  int before = SteadyThreadCount();
  std::set<pid_t> first = RunRound(4);
  // The kept threads take the next routines (tried a few times: a loaded
  // machine may let a thread run late into its waiting).
  bool reused = false;
  for (int attempt = 0; attempt < 5 && !reused; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::set<pid_t> next = RunRound(4);
    for (pid_t t : next) reused = reused || first.count(t) > 0;
    first = next;
  }
  EXPECT_TRUE(reused);
  // With nothing more to run, they end within a few waits.
  EXPECT_TRUE(WaitFor([&] { return ThreadsOfThisProcess() == before; }, 5000))
      << ThreadsOfThisProcess() << " threads, " << before << " before";
}

TEST(PlatThreadReuse, AThreadEndedWhileSuspendedServesTheNextRoutine) {
  static std::atomic<int> runs{0};
  auto count = [](void *) -> uint32_t { ++runs; return 0; };
  uint32_t id = 0;
  PlatThread ended = PlatThreadCreateSuspended(count, nullptr, &id);
  ASSERT_NE(ended, nullptr);
  PlatThreadTerminate(ended, 0);
  PlatThreadClose(ended);
  for (int i = 0; i < 20; ++i) {
    PlatThread thread = PlatThreadCreateSuspended(count, nullptr, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(PlatThreadResume(thread), 1u);
    PlatThreadClose(thread);
  }
  EXPECT_TRUE(WaitFor([] { return runs.load() == 20; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(runs.load(), 20);
}
