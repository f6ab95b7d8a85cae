#pragma once
// One port's transfer as every reader shows it: the terminal's bar and lines, the JSON Lines
// and the live page are renderings of this one view, computed here from the port's facts.

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "station/events.h"

namespace quillon::report {

/// How far a port's transfer has come.
struct ProgressView {
  std::string port;
  std::string phase;             ///< "boot" or "transfer"
  int done = 0, total = 0;       ///< chunks
  long long bytes = 0;           ///< sent on the line since the phase began
  double seconds = 0;            ///< since the phase began, on the port's own clock
  double bytes_per_second = 0;   ///< bytes / seconds; 0 before the second chunk (or the phase's end)
  std::optional<double> seconds_left;  ///< at the pace so far; none before the second chunk
  bool end = false;              ///< the phase has ended (finished or not)
  bool repeated = false;         ///< at an end: the reader has shown this many chunks already
};

/// How often a reader shows a port's progress besides its phase's start and end: live views
/// (a terminal's bar and lines, JSON Lines, the page) at most four times a second; lines that
/// go to a file or a pipe for people to read later every five seconds.
inline constexpr std::chrono::milliseconds kLiveEvery{250};
inline constexpr std::chrono::milliseconds kLoggedEvery{5000};

/// The views of every port for one reader, throttled by the port's own clock; safe to call
/// from every port's thread.
class ProgressViews {
 public:
  explicit ProgressViews(std::chrono::milliseconds every = kLiveEvery) : every_(every) {}

  /// The view at a phase's start (always shown).
  ProgressView Begin(const station::PhaseEvent& phase);
  /// The view after a chunk, or nothing when it is too soon after the last one shown (a
  /// phase's last chunk is always shown).
  std::optional<ProgressView> Step(const station::ProgressEvent& progress);
  /// The view at a phase's end (`repeated` when the reader has shown this many chunks already).
  ProgressView End(const station::PhaseEndEvent& end);

 private:
  struct Port {
    std::string phase;
    int shown_done = -1;
    double shown_at = 0;
  };
  ProgressView View(const std::string& port, const std::string& phase, int done, int total, long long bytes,
                    double seconds, bool end) const;

  std::chrono::milliseconds every_;
  std::mutex mutex_;
  std::map<std::string, Port> ports_;
};

/// The phase's name in the views: "boot" for the boot program, "transfer" for the update.
const char* PhaseOf(Transfer transfer);

}  // namespace quillon::report
