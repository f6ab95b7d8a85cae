#include "station/trace_file.h"

#include "base/file.h"

namespace quillon::station {

TraceFile::TraceFile(const std::string& path) {
  fd_ = OpenNewFile(path);
  if (fd_ < 0) return;
  // Up to 64 MiB queued: a whole update's trace is a few MiB.
  output_ = std::make_unique<Output>(fd_, 64u << 20);
  writer_ = std::jthread([output = output_.get()] { output->RunWriter(); });
}

std::function<void(std::string)> TraceFile::Sink() {
  return [output = output_.get()](std::string line) { output->Write(std::move(line)); };
}

void TraceFile::Finish(bool stopped) {
  if (!output_) return;
  output_->Drain(stopped ? std::chrono::milliseconds(500) : std::chrono::seconds(30));
  output_->Close();
  writer_.join();
  // A file that never took its text keeps its descriptor: closed now, its number could be
  // given to the next port opened, and a write still on its way would go down that line.
  if (!output_->stuck()) CloseFile(fd_);
  output_.reset();
  fd_ = -1;
}

}  // namespace quillon::station
