// The output queues against pipes whose reader is stuck or gone.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "station/output.h"

namespace quillon::station {
namespace {

// A reader that never reads holds nothing up: writes return at once, and the end waits only
// its bound. A reader that went away costs the text, counted.
TEST(OutputTest, NeitherAStuckNorAVanishedReaderHoldsTheWriter) {
  std::signal(SIGPIPE, SIG_IGN);  // as every program of ours does
  int stuck[2];
  ASSERT_EQ(::pipe(stuck), 0);
  {
    Output output(stuck[1], 1 << 16);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; ++i) output.Write(std::string(100, 'x'));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_GT(output.dropped(), 0u);
    EXPECT_FALSE(output.Drain(std::chrono::milliseconds(100)));
  }
  int gone[2];
  ASSERT_EQ(::pipe(gone), 0);
  ::close(gone[0]);
  Output output(gone[1]);
  output.Write("lost\n");
  EXPECT_FALSE(output.Drain(std::chrono::milliseconds(1000)));
  EXPECT_TRUE(output.gone());
  output.Write("also lost\n");
  EXPECT_EQ(output.dropped(), 15u);
  // The stuck writer keeps its pipe: closing it under the writer could hand its number on.
  ::close(stuck[0]);
}

}  // namespace
}  // namespace quillon::station
