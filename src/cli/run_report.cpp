#include "cli/run_report.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <variant>

#include "report/words.h"
#include "cli/json_text.h"
#include "cli/notice_words.h"
#include "report/port_words.h"
#include "cli/output.h"
#include "cli/terminal.h"

namespace quillon::cli {

using report::Describe;
using report::FindingWords;

void Subscribe(station::EventStream& events, RunReport& report) {
  events.Subscribe([&report](const station::Event& event) { report.OnEvent(event); });
}

void RunReport::OnEvent(const station::Event& event) {
  RunReport& report = *this;
  station::VisitEvent(
      event,
      station::Handlers{
          [&](const station::MessageEvent& e) {
            report.Message(e.port ? &*e.port : nullptr, e.id, MessageTextNaming(e.id, e.port_label));
          },
          [&](const station::WarningEvent& e) { report.Warning(e.port, report::WarningText(e, CurrentLanguage())); },
          [&](const station::PhaseEvent& e) {
            const bool boot = e.transfer == Transfer::kBootProgram;
            report.Phase(views_.Begin(e), MessageText(boot ? kMsgBootProgress : kMsgFlashProgress));
          },
          [&](const station::ProgressEvent& e) {
            if (const auto view = views_.Step(e)) report.Progress(*view);
          },
          [&](const station::PhaseEndEvent& e) { report.PhaseEnd(views_.End(e)); },
          [&](const station::ResultEvent& e) { report.Result(e.result); },
          [&](const station::SummaryEvent& e) { report.Summary(e.results, e.exit_status); },
          [&](const station::WaitingEvent& e) { report.Waiting(e); },
          [&](const station::RecordServerEvent& e) { report.RecordServer(e); },
          [&](const station::OutputEvent& e) { report.Output(e); },
          [&](const station::BoardEvent& e) { report.Board(e.port, e.unit, e.serial_number); },
          [&](const station::StationSummaryEvent& e) { report.StationSummary(e); },
          [&](const station::NoticeEvent& e) { report.Notice(e); },
          [&](const station::QuestionEvent& e) { report.Question(e); },
          [&](const station::HaltEvent& e) {
            report.Warning("station",
                           TrF("the station stopped taking boards: %s", {report::HaltText(e, CurrentLanguage())}));
          },
      });
}

namespace {


// A message's text on one line: its line breaks become spaces.
std::string OneLine(std::string_view text) {
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    line += text[i] == '\n' || text[i] == '\r' ? ' ' : text[i];
  }
  return line;
}

std::string Where(const StopPoint& stop) { return report::StopText(stop, CurrentLanguage()); }

// A phase's name as the lines show it.
std::string_view PhaseWord(std::string_view phase) {
  return phase == "boot" ? Tr("boot") : Tr("transfer");
}

}  // namespace

// A run of `flash`: only its end, when rows are left for the next run to send.
void RunReport::RecordServer(const station::RecordServerEvent& link) {
  if (!link.ended || link.rows_waiting == 0) return;
  Print(stderr, "%s\n", report::RecordServerText(link, CurrentLanguage()).c_str());
}

void RunReport::Output(const station::OutputEvent& output) {
  if (!output.ended || (output.waiting == 0 && output.stopped == 0)) return;
  Print(stderr, "%s\n", report::OutputText(output, CurrentLanguage()).c_str());
}

void RunReport::Notice(const station::NoticeEvent& notice) {
  std::FILE* out = notice.with_output() ? stdout : stderr;
  Print(out, "%s", NoticeText(notice, CurrentLanguage()).c_str());
}

void RunReport::Question(const station::QuestionEvent& question) {
  Print(stdout, "%s", QuestionText(question, CurrentLanguage()).c_str());
  std::fflush(stdout);
}

void JsonLinesReport::Question(const station::QuestionEvent& question) {
  // Standard output carries the JSON: the person reads the question on standard error.
  Print(stderr, "%s", QuestionText(question, CurrentLanguage()).c_str());
}

void JsonLinesReport::OnEvent(const station::Event& event) {
  auto object = json_.Object(event);
  if (!object) return;
  if (const auto* result = std::get_if<station::ResultEvent>(&event);
      result != nullptr && fix_ && object->contains("reason")) {
    (*object)["fix"] = fix_(result->result);
    const PortResult& r = result->result;
    if (next_step_ && r.unit != 0 && !r.interrupted) (*object)["next"] = next_step_(r);
  }
  if (const auto* notice = std::get_if<station::NoticeEvent>(&event)) {
    // Its English first line, and what stops each port that cannot be used; the person reads
    // it on standard error as always.
    const std::string text = NoticeText(*notice, Language::kEnglish);
    (*object)["text"] = text.substr(0, text.find('\n'));
    if (!notice->findings.empty()) {
      nlohmann::ordered_json findings = nlohmann::ordered_json::array();
      for (const auto& found : notice->findings) {
        if (found.ok || !found.blocking) continue;
        const FindingWords f = Describe(found, Language::kEnglish);
        findings.push_back({{"check", f.check}, {"detail", f.detail}, {"fix", f.fix}});
      }
      (*object)["findings"] = std::move(findings);
    }
    // The person reads on standard error what is not the run's output, as always.
    if (!notice->with_output()) RunReport::Notice(*notice);
  }
  if (const auto* question = std::get_if<station::QuestionEvent>(&event)) Question(*question);
  const std::string line = report::JsonText(*object);
  const std::lock_guard lock(mutex_);
  Print(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void TerminalReport::Result(const PortResult& r) {
  const std::string where = Where(r.stop);
  if (r.ok() || r.interrupted || where.empty()) return;
  Say(stderr, "      The update %s. `--trace FILE` records every byte on the line, for a report.\n",
      {where});
}

PortLinesReport::PortLinesReport(std::FILE* out, bool live, std::vector<std::string> ports,
                                 std::function<std::string(const PortResult&)> next_step)
    : RunReport(live ? report::kLiveEvery : report::kLoggedEvery),
      out_(out),
      live_(live),
      next_step_(std::move(next_step)) {
  for (auto& port : ports) {
    Line line;
    line.port = std::move(port);
    lines_.push_back(std::move(line));
  }
}

PortLinesReport::Line* PortLinesReport::Find(const std::string& port) {
  for (auto& line : lines_) {
    if (line.port == port) return &line;
  }
  return nullptr;
}

void PortLinesReport::Plain(const std::string& port, const std::string& text) {
  if (live_) return;
  Print(out_, "%s: %s\n", port.c_str(), text.c_str());
  std::fflush(out_);
}

void PortLinesReport::Message(const std::string* port, int id, std::string_view text) {
  const std::lock_guard lock(mutex_);
  // Appended piece by piece: "[" + std::string(...) sets off a false -Wrestrict in GCC 12.
  std::string shown = "[";
  shown += std::to_string(id);
  shown += "] ";
  shown += OneLine(MessageTextShown(id, text));
  if (port == nullptr) {
    Print(out_, "%s\n", shown.c_str());
    std::fflush(out_);
    return;
  }
  if (Line* line = Find(*port)) line->status = shown;
  Plain(*port, shown);
}

void PortLinesReport::Warning(const std::string& port, std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (!live_) {
    Plain(port, TrF("warning: %s", {text}));
    return;
  }
  // Above the live lines, which are drawn again below it.
  Above(port + ": " + TrF("warning: %s", {text}));
}

void PortLinesReport::Phase(const report::ProgressView& view, std::string_view) {
  const std::lock_guard lock(mutex_);
  if (Line* line = Find(view.port)) {
    line->phase = std::string(PhaseWord(view.phase));
    line->view = view;
  }
  Plain(view.port, TrF("%s: %s chunks", {PhaseWord(view.phase), std::to_string(view.total)}));
}

void PortLinesReport::Progress(const report::ProgressView& view) {
  const std::lock_guard lock(mutex_);
  if (Line* line = Find(view.port)) {
    line->view = view;
    // As plain lines as often as the view comes: every few seconds and at the end of a phase.
    Plain(view.port, TrF("%s: %s/%s chunks, %s B/s", {line->phase, std::to_string(view.done),
                                                      std::to_string(view.total), Fixed(view.bytes_per_second, 0)}));
  }
}

void PortLinesReport::PhaseEnd(const report::ProgressView& view) {
  // The live line shows where the phase ended; as plain lines its last chunk was said already.
  const std::lock_guard lock(mutex_);
  if (Line* line = Find(view.port); line != nullptr && !view.repeated) line->view = view;
}

void PortLinesReport::Result(const PortResult& r) {
  const std::lock_guard lock(mutex_);
  Line* line = Find(r.port);
  if (line == nullptr) return;
  line->view.seconds_left.reset();  // nothing is left to do on it
  if (r.interrupted) line->status = Tr("interrupted");
  const std::string where = Where(r.stop);
  if (!r.ok() && !where.empty()) line->status += " (" + where + ")";
  const std::string seconds = Fixed(r.seconds, 1);
  if (r.unit == 0) {
    line->phase = r.ok() ? Tr("done") : r.interrupted ? Tr("stopped") : Tr("failed");
    Plain(r.port, TrF("%s in %s s: %s", {line->phase, seconds, line->status}));
    return;
  }
  // A station's unit: a line of its own that stays, and the port's line shows it until the
  // next board answers.
  line->phase = r.ok() ? Tr("PASSED") : r.interrupted ? Tr("STOPPED") : Tr("FAILED");
  const std::string unit = std::to_string(r.unit);
  Above(r.port + ": " +
        (r.serial_number
             ? TrF("unit %s, serial %s, %s in %s s: %s",
                   {unit, *r.serial_number, line->phase, seconds, line->status})
             : TrF("unit %s, %s in %s s: %s", {unit, line->phase, seconds, line->status})));
  // A failed unit: what the operator does with the board, on a line that stays.
  const std::string next = !r.ok() && !r.interrupted && next_step_ ? next_step_(r) : std::string();
  if (!next.empty()) Above(r.port + ": " + TrF("next: %s", {next}));
  line->status = TrF("%s unit %s; waiting for the next board", {line->phase, unit});
  // The port's whole line says it, from across the bench, until the next board answers.
  line->passed = r.ok();
  line->verdict = r.serial_number ? TrF("%s: unit %s, serial %s", {line->phase, unit, *r.serial_number})
                                  : TrF("%s: unit %s", {line->phase, unit});
  if (!r.ok()) line->verdict += " - " + (next.empty() ? line->status : next);
  if (live_ && bell_) {
    Print(out_, "%s", r.ok() ? "\a" : "\a\a\a");
    std::fflush(out_);
  }
}

void PortLinesReport::ShowResults(bool colour, bool bell) {
  const std::lock_guard lock(mutex_);
  colour_ = colour;
  bell_ = bell;
}

void PortLinesReport::Waiting(const station::WaitingEvent& waiting) {
  const std::lock_guard lock(mutex_);
  if (Line* line = Find(waiting.port)) {
    if (line->status.empty() || waiting.record_server || waiting.scan) {
      line->status = waiting.record_server ? std::string(report::RecordServerWaitText(CurrentLanguage()))
                     : waiting.scan        ? std::string(report::ScanWaitText(CurrentLanguage()))
                                           : std::string(Tr("waiting for a board"));
    }
    line->phase = waiting.missing ? Tr("port missing (plug in its adapter)") : Tr("waiting");
    line->view = {};
    // Without a terminal a journal shows what the live line would: the port going and coming back.
    if (waiting.missing != line->missing) {
      line->missing = waiting.missing;
      Plain(waiting.port, waiting.missing ? std::string(Tr("port missing (plug in its adapter)"))
                                          : std::string(Tr("port back: waiting for a board")));
    }
  }
  if (waiting.record_server) Plain(waiting.port, std::string(report::RecordServerWaitText(CurrentLanguage())));
  if (waiting.scan) Plain(waiting.port, std::string(report::ScanWaitText(CurrentLanguage())));
}

// On a terminal the link's line stays below the ports; a line that stays says when the server
// came or went. Without one, a line each time it comes or goes, and the last word.
void PortLinesReport::RecordServer(const station::RecordServerEvent& link) {
  Link(" record server", link.connected ? "connected" : "away", report::RecordServerText(link, CurrentLanguage()),
       link.ended);
}

void PortLinesReport::Output(const station::OutputEvent& output) {
  Link(output.output, report::OutputStateName(output), report::OutputText(output, CurrentLanguage()), output.ended);
}

void PortLinesReport::Link(const std::string& key, const std::string& kind, const std::string& text, bool ended) {
  const std::lock_guard lock(mutex_);
  const auto said = link_kinds_.find(key);
  const bool changed = said == link_kinds_.end() || said->second != kind;
  link_kinds_[key] = kind;
  if (live_) {
    links_[key] = text;
    if (changed || ended) Above(text);
  } else if (changed || ended) {
    Print(out_, "%s\n", text.c_str());
    std::fflush(out_);
  }
}

void PortLinesReport::Board(const std::string& port, long long unit, const std::optional<std::string>& serial) {
  const std::lock_guard lock(mutex_);
  if (Line* line = Find(port)) {
    line->passed.reset();
    line->verdict.clear();
    line->phase = Tr("board");
    line->status = serial ? TrF("unit %s, serial %s", {std::to_string(unit), *serial})
                          : TrF("unit %s", {std::to_string(unit)});
  }
  Plain(port, serial ? TrF("board answered: unit %s, serial %s", {std::to_string(unit), *serial})
                     : TrF("board answered: unit %s", {std::to_string(unit)}));
}

void PortLinesReport::Above(const std::string& text) {
  if (!live_) {
    Print(out_, "%s\n", text.c_str());
    std::fflush(out_);
    return;
  }
  if (drawn_) Print(out_, "\x1b[%zuA", drawn_lines_);
  Print(out_, "\r%s\x1b[K\n", text.c_str());
  drawn_ = false;
  Draw();
}

void PortLinesReport::StationSummary(const station::StationSummaryEvent& summary) {
  const std::lock_guard lock(mutex_);
  if (live_) Draw();
  std::size_t name_width = 4;
  for (const auto& port : summary.ports) name_width = std::max(name_width, port.port.size());
  Print(out_, "\n%-*s  %6s %6s %11s\n", static_cast<int>(name_width),
        std::string(Tr("port")).c_str(), std::string(Tr("passed")).c_str(),
        std::string(Tr("failed")).c_str(), std::string(Tr("interrupted")).c_str());
  for (const auto& port : summary.ports) {
    Print(out_, "%-*s  %6d %6d %11d\n", static_cast<int>(name_width), port.port.c_str(), port.passed, port.failed,
          port.interrupted);
  }
  Say(out_, "%s units passed, %s failed, %s interrupted; exit status %s\n",
      {std::to_string(summary.passed), std::to_string(summary.failed),
       std::to_string(summary.interrupted), std::to_string(summary.exit_status)});
  std::fflush(out_);
}

void PortLinesReport::Tick() {
  const std::lock_guard lock(mutex_);
  if (live_) Draw();
}

void PortLinesReport::Draw() {
  const int width = std::max(TerminalWidth(out_), 20);
  if (drawn_) Print(out_, "\x1b[%zuA", drawn_lines_);
  std::size_t name_width = 0;
  for (const auto& line : lines_) name_width = std::max(name_width, line.port.size());
  for (const auto& line : lines_) {
    if (line.passed) {
      // The result over the whole line, padded so that its colour fills it.
      std::string shown = FitToWidth(line.port + "  " + line.verdict, width - 1);
      shown += std::string(static_cast<std::size_t>(std::max(0, width - 1 - DisplayWidth(shown))), ' ');
      if (colour_) {
        Print(out_, "\r%s%s\x1b[0m\x1b[K\n", *line.passed ? "\x1b[1;97;42m" : "\x1b[1;97;41m", shown.c_str());
      } else {
        Print(out_, "\r%s\x1b[K\n", shown.c_str());
      }
      continue;
    }
    char text[512];
    const report::ProgressView& view = line.view;
    std::snprintf(text, sizeof text, "%-*s %-9s %5d/%-5d", static_cast<int>(name_width), line.port.c_str(),
                  line.phase.c_str(), view.done, view.total);
    std::string shown = text;
    if (view.bytes_per_second > 0) {
      std::snprintf(text, sizeof text, " %7.0f B/s", view.bytes_per_second);
      shown += text;
    }
    if (view.seconds_left) {
      std::snprintf(text, sizeof text, " %4.0f s left", *view.seconds_left);
      shown += text;
    }
    if (!line.status.empty()) shown += "  " + line.status;
    // One column short of the width: a line that fills the last column wraps on some terminals.
    Print(out_, "\r%s\x1b[K\n", FitToWidth(shown, width - 1).c_str());
  }
  drawn_lines_ = lines_.size();
  for (const auto& [key, text] : links_) {
    Print(out_, "\r%s\x1b[K\n", FitToWidth(text, width - 1).c_str());
    ++drawn_lines_;
  }
  drawn_ = true;
  std::fflush(out_);
}

void PortLinesReport::Summary(const std::vector<PortResult>& results, int exit_status) {
  const std::lock_guard lock(mutex_);
  if (live_) Draw();
  std::size_t name_width = 4;
  for (const auto& r : results) name_width = std::max(name_width, r.port.size());
  Print(out_, "\n%-*s  %-8s %9s %9s  %s\n", static_cast<int>(name_width),
        std::string(Tr("port")).c_str(), std::string(Tr("result")).c_str(),
        std::string(Tr("seconds")).c_str(), std::string(Tr("bytes")).c_str(),
        std::string(Tr("log")).c_str());
  for (const auto& r : results) {
    const std::string result =
        r.interrupted ? std::string(Tr("stopped")) : "[" + std::to_string(r.id) + "]";
    Print(out_, "%-*s  %-8s %9.1f %9lld  %s\n", static_cast<int>(name_width), r.port.c_str(),
          result.c_str(), r.seconds, r.bytes, r.log.c_str());
    std::string text =
        r.interrupted
            ? std::string(Tr("interrupted"))
            : OneLine(MessageTextShownNaming(r.id, r.port_label));
    if (const std::string where = Where(r.stop); !r.ok() && !where.empty()) text += " (" + where + ")";
    Print(out_, "%-*s  %s\n", static_cast<int>(name_width), "", text.c_str());
  }
  const auto ok = std::count_if(results.begin(), results.end(), [](const PortResult& r) { return r.ok(); });
  Say(out_, "%s of %s ports updated; exit status %s\n",
      {std::to_string(static_cast<long long>(ok)), std::to_string(results.size()),
       std::to_string(exit_status)});
  std::fflush(out_);
}

}  // namespace quillon::cli

namespace quillon::cli {

void TerminalReport::Message(const std::string*, int id, std::string_view text) { prompt_.ShowMessage(id, text); }

void TerminalReport::Phase(const report::ProgressView& view, std::string_view text) {
  const bool boot = view.phase == "boot";
  progress_.Begin(MessageTextShown(boot ? kMsgBootProgress : kMsgFlashProgress, text), view);
}

void TerminalReport::Progress(const report::ProgressView& view) { progress_.Show(view); }

void TerminalReport::PhaseEnd(const report::ProgressView& view) { progress_.End(view); }

void TerminalReport::Warning(const std::string&, std::string_view text) {
  // On a line of its own above the progress bar, which the next step draws again.
  Print(out_, "\r\x1b[K%s\n", TrF("warning: %s", {text}).c_str());
}

}  // namespace quillon::cli
