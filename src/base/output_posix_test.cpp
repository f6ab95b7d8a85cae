// The output queues against pipes whose reader is stuck or gone, and a writer that its owner
// ends and joins.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "base/output.h"

namespace quillon {
namespace {

using Clock = std::chrono::steady_clock;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// A reader that never reads holds nothing up: writes return at once, the drain waits only its
// bound, and the writer returns soon after Close so that its owner can join it.
TEST(OutputTest, AStuckReaderHoldsNeitherTheWritesNorTheEnd) {
  int stuck[2];
  ASSERT_EQ(::pipe(stuck), 0);
  Output output(stuck[1], 1 << 20);
  std::thread writer([&] { output.RunWriter(); });
  const auto start = Clock::now();
  for (int i = 0; i < 10000; ++i) output.Write(std::string(1000, 'x'));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_GT(output.dropped(), 0u);
  EXPECT_FALSE(output.Drain(std::chrono::milliseconds(100)));
  const auto closed = Clock::now();
  output.Close();
  writer.join();
  EXPECT_LT(Clock::now() - closed, std::chrono::milliseconds(1000));
  // The text it could not hand over is dropped and counted; the descriptor must stay open.
  EXPECT_TRUE(output.stuck());
  EXPECT_FALSE(output.gone());
  ::close(stuck[0]);
  ::close(stuck[1]);
}

TEST(OutputTest, AVanishedReaderCostsTheTextCounted) {
  std::signal(SIGPIPE, SIG_IGN);  // as every program of ours does
  int gone[2];
  ASSERT_EQ(::pipe(gone), 0);
  ::close(gone[0]);
  Output output(gone[1]);
  std::thread writer([&] { output.RunWriter(); });
  output.Write("lost\n");
  EXPECT_FALSE(output.Drain(std::chrono::milliseconds(1000)));
  EXPECT_TRUE(output.gone());
  output.Write("also lost\n");
  EXPECT_EQ(output.dropped(), 15u);
  output.Close();
  writer.join();
  ::close(gone[1]);
}

// Everything queued reaches a reader that reads, in order, also texts longer than one write.
TEST(OutputTest, AReaderThatReadsGetsEveryByteInOrder) {
  int line[2];
  ASSERT_EQ(::pipe(line), 0);
  std::string expected;
  {
    Output output(line[1]);
    std::thread writer([&] { output.RunWriter(); });
    std::thread reader([&, fd = line[0]] { EXPECT_EQ(ReadAll(fd), expected); });
    for (int i = 0; i < 200; ++i) {
      std::string text(static_cast<std::size_t>(37 * i + 1), static_cast<char>('a' + i % 26));
      expected += text;
      output.Write(text);
    }
    EXPECT_TRUE(output.Drain(std::chrono::seconds(10)));
    EXPECT_EQ(output.dropped(), 0u);
    output.Close();
    writer.join();
    ::close(line[1]);
    reader.join();
  }
  ::close(line[0]);
}

}  // namespace
}  // namespace quillon
