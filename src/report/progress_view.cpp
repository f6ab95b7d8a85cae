#include "report/progress_view.h"

namespace quillon::report {

const char* PhaseOf(Transfer transfer) { return transfer == Transfer::kBootProgram ? "boot" : "transfer"; }

ProgressView ProgressViews::View(const std::string& port, const std::string& phase, int done, int total,
                                 long long bytes, double seconds, bool end) const {
  ProgressView view;
  view.port = port;
  view.phase = phase;
  view.done = done;
  view.total = total;
  view.bytes = bytes;
  view.seconds = seconds;
  view.end = end;
  // A rate and a time left from one chunk alone are mostly the line's start-up: both wait for
  // the second chunk (a phase's end has its whole rate).
  if (seconds > 0 && (done >= 2 || end)) view.bytes_per_second = static_cast<double>(bytes) / seconds;
  if (done >= 2 && !end) view.seconds_left = seconds * (total - done) / done;
  return view;
}

ProgressView ProgressViews::Begin(const station::PhaseEvent& phase) {
  const std::lock_guard lock(mutex_);
  ports_[phase.port] = {PhaseOf(phase.transfer), 0, 0};
  return View(phase.port, PhaseOf(phase.transfer), 0, phase.total, 0, 0, false);
}

std::optional<ProgressView> ProgressViews::Step(const station::ProgressEvent& progress) {
  const std::lock_guard lock(mutex_);
  Port& port = ports_[progress.port];
  const double every = std::chrono::duration<double>(every_).count();
  if (progress.done != progress.total && progress.seconds - port.shown_at < every) return std::nullopt;
  port.shown_done = progress.done;
  port.shown_at = progress.seconds;
  return View(progress.port, port.phase, progress.done, progress.total, progress.bytes, progress.seconds, false);
}

ProgressView ProgressViews::End(const station::PhaseEndEvent& end) {
  const std::lock_guard lock(mutex_);
  Port& port = ports_[end.port];
  ProgressView view = View(end.port, port.phase, end.done, end.total, end.bytes, end.seconds, true);
  view.repeated = port.shown_done == end.done;
  port.shown_done = end.done;
  port.shown_at = end.seconds;
  return view;
}

}  // namespace quillon::report
