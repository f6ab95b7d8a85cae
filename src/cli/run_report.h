#pragma once
// What quillon-cli flash tells about a run on several ports (or on one with --json): events
// from every port's thread, one writer at a time, as JSON Lines or as text, and a summary.

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/messages.h"
#include "update/update_sequence.h"

namespace quillon::cli {

/// How one port's run ended.
struct PortResult {
  std::string port;          ///< the port as the run names it
  int id = 0;                ///< the run's closing message; 0 when it was interrupted
  bool interrupted = false;
  double seconds = 0;
  long long bytes = 0;       ///< bytes sent to the device
  std::string log;           ///< absolute path of the log holding this port's records
  StopPoint stop;
  bool ok() const { return !interrupted && id == kMsgUpdateFinished; }
};

/// The name a stop point's phase has in the output ("open", "boot", "handshake", "transfer",
/// "closing"), or null for a run that did not stop inside one of them.
const char* PhaseName(RunPhase phase);

class RunReport {
 public:
  virtual ~RunReport() = default;
  /// A message box; `port` is null for one shown before the ports run (message 202).
  virtual void Message(const std::string* port, int id, std::string_view text) = 0;
  /// A transfer begins: "boot" or "transfer", with its number of chunks.
  virtual void Phase(const std::string& port, std::string_view phase, int total) = 0;
  virtual void Progress(const std::string& port, int done, int total, double bytes_per_second) = 0;
  /// Something the person should know that is not a failure of the update (a log that cannot
  /// be written: its record follows).
  virtual void Warning(const std::string& port, std::string_view text) = 0;
  virtual void Result(const PortResult& result) = 0;
  /// The last word: every port's result and the exit status.
  virtual void Summary(const std::vector<PortResult>& results, int exit_status) = 0;
  /// Called from the main thread about ten times a second while the ports run.
  virtual void Tick() {}
};

/// JSON Lines on `out`: one object per event, flushed at once.
class JsonLinesReport final : public RunReport {
 public:
  explicit JsonLinesReport(std::FILE* out) : out_(out) {}
  void Message(const std::string* port, int id, std::string_view text) override;
  void Phase(const std::string& port, std::string_view phase, int total) override;
  void Progress(const std::string& port, int done, int total, double bytes_per_second) override;
  void Warning(const std::string& port, std::string_view text) override;
  void Result(const PortResult& result) override;
  void Summary(const std::vector<PortResult>& results, int exit_status) override;

 private:
  void Write(const std::string& line);
  std::FILE* out_;
  std::mutex mutex_;
};

/// Text for several ports. On a terminal (`live`): one line per port, redrawn in place and
/// cut to the terminal's width; otherwise one line per event, prefixed with the port. Then a
/// summary table.
class PortLinesReport final : public RunReport {
 public:
  PortLinesReport(std::FILE* out, bool live, std::vector<std::string> ports);
  void Message(const std::string* port, int id, std::string_view text) override;
  void Phase(const std::string& port, std::string_view phase, int total) override;
  void Progress(const std::string& port, int done, int total, double bytes_per_second) override;
  void Warning(const std::string& port, std::string_view text) override;
  void Result(const PortResult& result) override;
  void Summary(const std::vector<PortResult>& results, int exit_status) override;
  void Tick() override;

 private:
  struct Line {
    std::string port;
    std::string phase = "waiting";
    int done = 0, total = 0;
    double rate = 0;
    std::string status;
    std::chrono::steady_clock::time_point printed;
  };
  Line* Find(const std::string& port);
  void Plain(const std::string& port, const std::string& text);
  void Draw();

  std::FILE* out_;
  bool live_;
  std::vector<Line> lines_;
  bool drawn_ = false;
  std::mutex mutex_;
};

}  // namespace quillon::cli
