// Threads created suspended: nothing runs before the resume, and a thread
// ended while suspended never runs at all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"

TEST(PlatThread, SuspendedThreadRunsNothingUntilResumedAndNothingWhenEnded) {
  static std::atomic<int> runs{0};
  uint32_t id1 = 0, id2 = 0;
  PlatThread resumed = PlatThreadCreateSuspended([](void *) -> uint32_t { ++runs; return 0; },
                                                 nullptr, &id1);
  PlatThread ended = PlatThreadCreateSuspended([](void *) -> uint32_t { ++runs; return 0; },
                                               nullptr, &id2);
  EXPECT_NE(id1, id2);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(runs.load(), 0);
  PlatThreadTerminate(ended, 0);
  EXPECT_EQ(PlatThreadResume(ended), 0xFFFFFFFFu);
  EXPECT_EQ(PlatThreadResume(resumed), 1u);
  for (int i = 0; i < 1000 && runs.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(runs.load(), 1);
  PlatThreadClose(resumed);
  PlatThreadClose(ended);
}
