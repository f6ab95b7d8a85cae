#pragma once
// What quillon-cli flash tells about a run: the station's events from every port's thread,
// one writer at a time, as JSON Lines, as text for several ports, or as the terminal lines
// of one port; and a summary.

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

#include "base/messages.h"
#include "cli/terminal.h"
#include "report/event_json.h"
#include "report/progress_view.h"
#include "station/events.h"
#include "update/update_sequence.h"

namespace quillon::cli {

using station::PhaseName;
using station::PortResult;

class RunReport {
 public:
  /// `every`: how often this reader shows a port's progress between a phase's start and end.
  explicit RunReport(std::chrono::milliseconds every = report::kLiveEvery) : views_(every) {}
  virtual ~RunReport() = default;
  /// Every event comes here first; by default it goes to the method of its kind below.
  virtual void OnEvent(const station::Event& event);
  /// A message box; `port` is null for one shown before the ports run (message 202).
  virtual void Message(const std::string* port, int id, std::string_view text) { (void)port, (void)id, (void)text; }
  /// A transfer begins ("boot" or "transfer", with its number of chunks), with its window text.
  virtual void Phase(const report::ProgressView& view, std::string_view text) { (void)view, (void)text; }
  /// More chunks went out (as often as this reader shows progress).
  virtual void Progress(const report::ProgressView& view) { (void)view; }
  /// The transfer ended, finished or not.
  virtual void PhaseEnd(const report::ProgressView& view) { (void)view; }
  /// Something the person should know that is not a failure of the update (a log that cannot
  /// be written: its record follows).
  virtual void Warning(const std::string& port, std::string_view text) { (void)port, (void)text; }
  virtual void Result(const PortResult& result) { (void)result; }
  /// The last word: every port's result and the exit status.
  virtual void Summary(const std::vector<PortResult>& results, int exit_status) { (void)results, (void)exit_status; }
  /// Called from the main thread about ten times a second while the ports run.
  virtual void Tick() {}
  /// A station's port waits for a board; `missing` while its device cannot be opened.
  virtual void Waiting(const station::WaitingEvent& waiting) { (void)waiting; }
  /// The station's link to the record server changed (the base says the rows a run's end
  /// left unsent).
  virtual void RecordServer(const station::RecordServerEvent& link);
  /// An output to the factory's systems changed (the base says the units a run's end left
  /// undelivered).
  virtual void Output(const station::OutputEvent& output);
  /// A board answered on a station's port: unit `unit` begins.
  virtual void Board(const std::string& port, long long unit, const std::optional<std::string>& serial) {
    (void)port, (void)unit, (void)serial;
  }
  /// A station's last word.
  virtual void StationSummary(const station::StationSummaryEvent& summary) { (void)summary; }
  /// Something the run tells a person: on standard error, in the person's language.
  virtual void Notice(const station::NoticeEvent& notice);
  /// What Enter at the boot-mode question starts, on standard output (standard error when
  /// standard output carries JSON).
  virtual void Question(const station::QuestionEvent& question);

 private:
  report::ProgressViews views_;
};

/// The report reads the station's events from here on.
void Subscribe(station::EventStream& events, RunReport& report);

/// JSON Lines on `out`: one object per event (station/event_json.h), flushed at once.
class JsonLinesReport final : public RunReport {
 public:
  /// `fix` gives a failed port's result what to do about it, in English; `next_step` a
  /// station's failed unit what the operator does next (its "next").
  explicit JsonLinesReport(std::FILE* out, std::function<std::string(const PortResult&)> fix = {},
                           std::function<std::string(const PortResult&)> next_step = {})
      : out_(out), fix_(std::move(fix)), next_step_(std::move(next_step)) {}
  void OnEvent(const station::Event& event) override;
  void Question(const station::QuestionEvent& question) override;

 private:
  std::FILE* out_;
  std::function<std::string(const PortResult&)> fix_;
  std::function<std::string(const PortResult&)> next_step_;
  std::mutex mutex_;
  report::EventJson json_;
};

/// One port as the terminal has always shown it: messages as "[id] text" lines (failures
/// on standard error, with a line of advice), each transfer as a progress bar on standard
/// error.
class TerminalReport final : public RunReport {
 public:
  /// The bar goes to `out` (standard error by default).
  explicit TerminalReport(std::function<std::string(int id)> hint, std::FILE* out = stderr)
      : prompt_(std::move(hint)), progress_(out), out_(out) {}
  void Message(const std::string* port, int id, std::string_view text) override;
  void Phase(const report::ProgressView& view, std::string_view text) override;
  void Progress(const report::ProgressView& view) override;
  void PhaseEnd(const report::ProgressView& view) override;
  void Warning(const std::string& port, std::string_view text) override;
  /// A failed update also says where it stopped, and how to record the line for a report.
  void Result(const PortResult& result) override;
  void Summary(const std::vector<PortResult>&, int) override {}

 private:
  TerminalPrompt prompt_;
  TerminalProgress progress_;
  std::FILE* out_;
};

/// Text for several ports. On a terminal (`live`): one line per port, redrawn in place and
/// cut to the terminal's width; otherwise one line per event, prefixed with the port. Then a
/// summary table.
class PortLinesReport final : public RunReport {
 public:
  /// `next_step`, when given, says after a station's failed unit what the operator does next.
  PortLinesReport(std::FILE* out, bool live, std::vector<std::string> ports,
                  std::function<std::string(const PortResult&)> next_step = {});
  void Message(const std::string* port, int id, std::string_view text) override;
  void Phase(const report::ProgressView& view, std::string_view text) override;
  void Progress(const report::ProgressView& view) override;
  void PhaseEnd(const report::ProgressView& view) override;
  void Warning(const std::string& port, std::string_view text) override;
  void Result(const PortResult& result) override;
  void Summary(const std::vector<PortResult>& results, int exit_status) override;
  void Tick() override;
  void Waiting(const station::WaitingEvent& waiting) override;
  void RecordServer(const station::RecordServerEvent& link) override;
  void Output(const station::OutputEvent& output) override;
  void Board(const std::string& port, long long unit, const std::optional<std::string>& serial) override;
  void StationSummary(const station::StationSummaryEvent& summary) override;
  /// On a terminal: a finished unit fills its port's line in colour (green PASSED, red FAILED;
  /// none with `colour` false, as NO_COLOR asks) until the next board answers, and with `bell`
  /// the terminal rings (once for a pass, three times for anything else).
  void ShowResults(bool colour, bool bell);

 private:
  struct Line {
    std::string port;
    std::string phase = "waiting";
    report::ProgressView view;
    std::string status;
    bool missing = false;  ///< its device could not be opened when last tried
    std::optional<bool> passed;  ///< its last unit's result, shown until the next board answers
    std::string verdict;         ///< that result in words
  };
  Line* Find(const std::string& port);
  void Plain(const std::string& port, const std::string& text);
  /// A line that stays: above the live lines on a terminal, else as a plain line.
  void Above(const std::string& text);
  void Draw();
  /// A delivery's line below the ports (`key`: which delivery), and, when its state's kind
  /// changed or it ended, a line that stays.
  void Link(const std::string& key, const std::string& kind, const std::string& text, bool ended);

  std::FILE* out_;
  bool live_;
  std::function<std::string(const PortResult&)> next_step_;
  std::vector<Line> lines_;
  /// The deliveries' lines (the record server's link, the outputs), drawn below the ports, by key.
  std::map<std::string, std::string> links_;
  std::map<std::string, std::string> link_kinds_;  ///< each delivery's state as last said in a line that stays
  bool colour_ = false;
  bool bell_ = false;
  std::size_t drawn_lines_ = 0;         ///< how many lines Draw drew last
  bool drawn_ = false;
  std::mutex mutex_;
};

}  // namespace quillon::cli
