// quillon-cli history: the run records, newest first, as a table, CSV or JSON Lines.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/words.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/output.h"
#include "station/run_records.h"

namespace quillon::cli {
namespace {

struct HistoryOptions {
  std::string record;
  std::string log;
  station::HistoryFilter filter;
  bool json = false;
  bool csv = false;
};

// What a row's result says: INCOMPLETE while it has none (a unit under way, or its process
// was killed).
std::string ResultWord(const station::UnitRow& row) {
  if (!row.result) return "INCOMPLETE";
  if (*row.result == 130) return "INTERRUPTED";
  return row.ok != 0 ? "PASSED" : "FAILED";
}

nlohmann::ordered_json RowJson(const station::UnitRow& row) {
  auto optional = [](const auto& value) { return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr); };
  return nlohmann::ordered_json{{"id", row.id},
                                {"station", row.station},
                                {"port", row.port},
                                {"adapter", row.adapter},
                                {"operator", row.operator_name},
                                {"started_utc", row.started_utc},
                                {"ended_utc", optional(row.ended_utc)},
                                {"seconds", optional(row.seconds)},
                                {"update_file", row.update_file},
                                {"image_sha256", row.image_sha256},
                                {"boot_sha256", row.boot_sha256},
                                {"serial_number", optional(row.serial_number)},
                                {"bytes_sent", row.bytes_sent},
                                {"result", row.result ? nlohmann::ordered_json(*row.result) : nlohmann::ordered_json("INCOMPLETE")},
                                {"ok", row.ok},
                                {"stop_phase", optional(row.stop_phase)},
                                {"stop_block", optional(row.stop_block)},
                                {"stop_chunk", optional(row.stop_chunk)},
                                {"records", row.records},
                                {"quillon_version", row.quillon_version}};
}

// One CSV field (RFC 4180): quoted when it holds a comma, a quote or a line break.
std::string CsvField(const nlohmann::ordered_json& value) {
  std::string text;
  if (value.is_null()) return {};
  text = value.is_string() ? value.get<std::string>() : value.dump();
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

int RunHistory(const Context& context, const HistoryOptions& options) {
  if (!station::RecordsAvailable()) {
    Say(stderr,
        "error: this build of quillon-cli has no run records: it was made without SQLite (the "
        "Linux build has them)\n");
    return kExitUsage;
  }
  std::string path = options.record;
  if (path.empty()) {
    const auto folder = (Utf8Path(context.LogPath(options.log)).parent_path() / "quillon-runs.db").u8string();
    path = {folder.begin(), folder.end()};
  }
  std::error_code missing;
  if (!std::filesystem::exists(Utf8Path(path), missing)) {
    Say(stderr,
        "error: there are no run records at %s (quillon-cli station writes them; --record names "
        "another file)\n",
        {path});
    return kExitUsage;
  }
  std::string error;
  auto records = station::RunRecords::Open(path, error);
  if (!records) {
    Say(stderr, "error: the run records %s cannot be read: %s\n", {path, error});
    return kExitFailure;
  }
  const auto rows = records->History(options.filter, error);
  if (!error.empty()) {
    Say(stderr, "error: the run records %s cannot be read: %s\n", {path, error});
    return kExitFailure;
  }
  if (options.csv) {
    std::string header;
    for (const auto& column : station::UnitColumns()) header += (header.empty() ? "" : ",") + column;
    Print(stdout, "%s\r\n", header.c_str());
    for (const auto& row : rows) {
      std::string line;
      bool first = true;
      const auto fields = RowJson(row);
      for (const auto& [key, value] : fields.items()) {
        line += (first ? "" : ",") + CsvField(value);
        first = false;
      }
      Print(stdout, "%s\r\n", line.c_str());
    }
  } else if (options.json) {
    for (const auto& row : rows) Print(stdout, "%s\n", JsonText(RowJson(row)).c_str());
  } else {
    Print(stdout, "%-6s %-24s %-16s %-14s %-11s %7s  %s\n", "id", "started (UTC)", "port", "serial", "result", "seconds",
          "message or where it stopped");
    for (const auto& row : rows) {
      std::string detail;
      if (row.result && *row.result != 205 && *row.result != 130) detail = "[" + std::to_string(*row.result) + "]";
      if (row.stop_phase) detail += " stopped in " + *row.stop_phase;
      if (row.stop_block) detail += ", block " + std::to_string(*row.stop_block) + " chunk " + std::to_string(*row.stop_chunk);
      char seconds[16] = "";
      if (row.seconds) std::snprintf(seconds, sizeof seconds, "%.1f", *row.seconds);
      Print(stdout, "%-6lld %-24s %-16s %-14s %-11s %7s  %s\n", static_cast<long long>(row.id), row.started_utc.c_str(),
            row.port.c_str(), row.serial_number.value_or("-").c_str(), ResultWord(row).c_str(), seconds, detail.c_str());
    }
  }
  return kExitSuccess;
}

}  // namespace

void AddHistoryCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<HistoryOptions>();
  auto* sub = app.add_subcommand("history", "The station's run records, newest first");
  sub->add_option("--record", options->record, "the run records (default: quillon-runs.db beside the log)")
      ->transform(AbsolutePath());
  sub->add_option("--log", options->log, "the log whose folder holds the run records")->transform(AbsolutePath());
  sub->add_option("--since", options->filter.since, "units begun at or after this time (ISO 8601, UTC: 2026-12-08 or "
                                                    "2026-12-08T06:00)");
  sub->add_option("--port", options->filter.port, "units of this port");
  sub->add_option("--serial", options->filter.serial, "the unit with this serial number");
  sub->add_flag("--failed", options->filter.failed, "units that did not pass (incomplete ones included)");
  sub->add_option("--limit", options->filter.limit, "at most this many rows")->check(CLI::PositiveNumber);
  auto* json = sub->add_flag("--json", options->json, "one JSON object per row");
  sub->add_flag("--csv", options->csv, "CSV (RFC 4180) with a header row of the column names")->excludes(json);
  sub->callback([options, &context, &status] { status = RunHistory(context, *options); });
}

}  // namespace quillon::cli
