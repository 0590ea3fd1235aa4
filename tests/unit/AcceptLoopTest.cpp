// The accept loop's cycle time in whole milliseconds: its sleep when the
// connection list is full, and the floor of its pause after a failure.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/Core.h"

TEST(AcceptLoop, FullListSleepArithmetic) {
  EXPECT_EQ(FullListSleepMsec(0, 0), 0);
  EXPECT_EQ(FullListSleepMsec(0, 1500), 1);
  EXPECT_EQ(FullListSleepMsec(0, 999), 0);
  EXPECT_EQ(FullListSleepMsec(2, 500000), 2500);
  EXPECT_EQ(FullListSleepMsec(-1, 0), 0);
  EXPECT_EQ(FullListSleepMsec(INT32_MAX, 0), INT32_MAX);
}
