// Reading the update file on POSIX: a FIFO is no file, and a file cut short while it is read
// is a failed read.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "image/flash_image.h"
#include "image/srecord.h"
#include "testing/temp_dir.h"

namespace quillon {
namespace {

using testing::TempDir;

const std::string kAb12 = "S1050000AB123D\r\n";

// Only a regular file is read: a FIFO is refused at once, without waiting for a writer.
TEST(FileTextTest, AFifoIsRefusedWithoutWaiting) {
  TempDir dir;
  const auto fifo = dir / "update.mot";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&] {
    FlashImage flash;
    BootImage boot;
    return std::pair(SRecordReader().LoadFlashImage(flash, fifo), SRecordReader().LoadBootImage(fifo, boot));
  });
  if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Let the stuck open go before failing.
    for (int i = 0; i < 2; ++i) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    FAIL() << "loading a FIFO waits for a writer";
  }
  EXPECT_EQ(load.get(), std::pair(-1, -1));
}

// A file cut short while it is being loaded is a failed read, never a crash.
TEST(FileTextTest, AFileThatShrinksWhileLoadingIsNeverACrash) {
  TempDir dir;
  std::string text;
  while (text.size() < (4u << 20)) text += kAb12;
  const auto path = dir.Write("update.mot", text);
  std::atomic<bool> done = false;
  std::thread cutter([&] {
    while (!done) {
      std::filesystem::resize_file(path, 0);
      std::filesystem::resize_file(path, text.size());
    }
  });
  for (int i = 0; i < 200; ++i) {
    FlashImage image;
    const int r = SRecordReader().LoadFlashImage(image, path);
    EXPECT_TRUE(r == 1 || r == -1 || r == -2) << r;
  }
  done = true;
  cutter.join();
}

}  // namespace
}  // namespace quillon
