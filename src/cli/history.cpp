// quillon-cli history: the run records, newest first, as a table, CSV or JSON Lines.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/event_log.h"
#include "report/unit_record.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/output.h"
#include "records/fleet.h"
#include "records/run_records.h"

namespace quillon::cli {
namespace {

struct HistoryOptions {
  std::string fleet;
  std::string record;
  std::string log;
  records::HistoryFilter filter;
  bool json = false;
  bool csv = false;
  std::optional<std::int64_t> after;     ///< units that ended after this completion number
  bool undelivered = false;
  std::vector<std::int64_t> redeliver;
};

// What a row's result says: INCOMPLETE while it has none (a unit under way, or its process
// was killed).
std::string ResultWord(const records::UnitRow& row) {
  if (!row.result) return "INCOMPLETE";
  if (*row.result == 130) return "INTERRUPTED";
  return row.ok != 0 ? "PASSED" : "FAILED";
}

// A fleet's row also names the station it came from by its UUID.
nlohmann::ordered_json FleetRowJson(const records::UnitRow& row) {
  auto object = report::UnitRecordJson(row);
  object["station_uuid"] = row.station_uuid.value_or("");
  return object;
}

// The text as valid UTF-8: a byte that does not begin or continue a well-formed sequence
// becomes U+FFFD, as in the JSON output.
std::string ValidUtf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
    bool good = length > 0 && i + length <= text.size();
    std::uint32_t code = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
    for (std::size_t k = 1; good && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      good = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and numbers past U+10FFFF are not UTF-8 either.
    good = good && !(length == 2 && code < 0x80) && !(length == 3 && code < 0x800) &&
           !(length == 4 && code < 0x10000) && !(code >= 0xD800 && code <= 0xDFFF) && code <= 0x10FFFF;
    if (good) {
      valid.append(text.substr(i, length));
      i += length;
    } else {
      valid += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return valid;
}

// A text for the table: valid UTF-8, every control character shown escaped (C1 ones as
// \u0080..\u009F), so an odd port name can neither break a line nor steer the terminal.
std::string TableText(std::string_view text) {
  const std::string valid = EscapeControlCharacters(ValidUtf8(text));
  std::string shown;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const auto byte = static_cast<unsigned char>(valid[i]);
    const auto next = i + 1 < valid.size() ? static_cast<unsigned char>(valid[i + 1]) : 0;
    if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", next);
      shown += escaped;
      ++i;
    } else {
      shown += valid[i];
    }
  }
  return shown;
}

// One CSV field (RFC 4180): quoted when it holds a comma, a quote or a line break.
std::string CsvField(const nlohmann::ordered_json& value) {
  std::string text;
  if (value.is_null()) return {};
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  text = value.is_string() ? ValidUtf8(value.get<std::string>()) : value.dump();
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ValuesText(const records::UnitRow& row) {
  std::string text;
  for (const auto& [pool, value] : row.values) {
    if (!text.empty()) text += ';';
    text += pool;
    text += '=';
    text += value;
  }
  return text;
}

void PrintCsv(const std::vector<records::UnitRow>& rows, bool fleet) {
  // The columns of the row (and a fleet's station UUID): the same columns in every version, for
  // the spreadsheets and tables that import them; the completion number is in --json.
  auto columns = records::UnitColumns();
  if (fleet) columns.push_back("station_uuid");
  // Records with pools add a column of the unit's values, "pool=value;pool=value".
  const bool values = std::any_of(rows.begin(), rows.end(), [](const records::UnitRow& row) { return !row.values.empty(); });
  if (values) columns.push_back("values");
  // Records of a station that scans labels add the label's column.
  const bool scanned = std::any_of(rows.begin(), rows.end(), [](const records::UnitRow& row) { return row.scanned.has_value(); });
  if (scanned) columns.push_back("scanned");
  std::string header;
  for (const auto& column : columns) header += (header.empty() ? "" : ",") + column;
  Print(stdout, "%s\r\n", header.c_str());
  for (const auto& row : rows) {
    std::string line;
    bool first = true;
    auto fields = fleet ? FleetRowJson(row) : report::UnitRecordJson(row);
    if (values) fields["values"] = ValuesText(row);
    for (const auto& column : columns) {
      // Appended piece by piece: "," + std::string(...) sets off a false -Wrestrict in GCC 12.
      if (!first) line += ',';
      line += CsvField(fields.contains(column) ? fields[column] : nlohmann::ordered_json(nullptr));
      first = false;
    }
    Print(stdout, "%s\r\n", line.c_str());
  }
}

// The table, in the reader's language (the result words are the records' own).
void PrintTable(const std::vector<records::UnitRow>& rows) {
  Print(stdout, "%s\n",
        (PadTo(Tr("id"), 6) + " " + PadTo(Tr("started (UTC)"), 24) + " " + PadTo(Tr("port"), 16) + " " +
         PadTo(Tr("serial"), 14) + " " + PadTo(Tr("result"), 11) + " " + PadTo(Tr("seconds"), 7) + "  " +
         std::string(Tr("message or where it stopped")))
            .c_str());
  for (const auto& row : rows) {
    std::string detail = ValuesText(row);
    if (!detail.empty()) detail += ' ';
    if (row.result && *row.result != 205 && *row.result != 130) detail = "[" + std::to_string(*row.result) + "] ";
    if (row.stop_phase && row.stop_block) {
      detail += TrF("stopped in %s, block %s chunk %s",
                    {*row.stop_phase, std::to_string(*row.stop_block), std::to_string(row.stop_chunk.value_or(0))});
    } else if (row.stop_phase) {
      detail += TrF("stopped in %s", {*row.stop_phase});
    }
    char seconds[16] = "";
    if (row.seconds) std::snprintf(seconds, sizeof seconds, "%.1f", *row.seconds);
    Print(stdout, "%-6lld %-24s %-16s %-14s %-11s %7s  %s\n", static_cast<long long>(row.id),
          TableText(row.started_utc).c_str(), TableText(row.port).c_str(),
          TableText(row.serial_number.value_or("-")).c_str(), ResultWord(row).c_str(), seconds,
          TableText(detail).c_str());
  }
}

// The records' file: --record, else quillon-runs.db beside the log; the exit status when there
// is none.
std::optional<int> FindRecords(const Context& context, const HistoryOptions& options, std::string& path) {
  if (!records::RecordsAvailable()) {
    Say(stderr,
        "error: this build of quillon-cli has no run records: it was made without SQLite (the "
        "Linux build has them)\n");
    return kExitUsage;
  }
  path = context.RecordsPath(options.record, options.log);
  std::error_code missing;
  if (!std::filesystem::exists(Utf8Path(path), missing)) {
    Say(stderr,
        "error: there are no run records at %s (quillon-cli station writes them; --record names "
        "another file)\n",
        {path});
    return kExitUsage;
  }
  return std::nullopt;
}

// --since as an instant in UTC; the exit status when it is none.
std::optional<int> ReadSince(records::HistoryFilter& filter) {
  if (!filter.since) return std::nullopt;
  const auto instant = records::UtcInstant(*filter.since);
  if (!instant) {
    Say(stderr,
        "error: --since %s: write an ISO 8601 date or time, e.g. 2026-12-08, 2026-12-08T06:00, "
        "\"2026-12-08 06:00:00Z\" or 2026-12-08T15:00+09:00 (UTC when no offset is given)\n",
        {*filter.since});
    return kExitUsage;
  }
  filter.since = instant;
  return std::nullopt;
}

void PrintRows(const HistoryOptions& options, const std::vector<records::UnitRow>& rows) {
  const bool fleet = !options.fleet.empty();
  // Said to the person, never into a machine's CSV or JSON.
  if (rows.empty()) Say(options.csv || options.json ? stderr : stdout, "no units match\n");
  if (rows.empty() && !options.csv) return;
  if (options.csv) {
    PrintCsv(rows, fleet);
  } else if (options.json) {
    for (const auto& row : rows) Print(stdout, "%s\n", JsonText(fleet ? FleetRowJson(row) : report::UnitRecordJson(row)).c_str());
  } else {
    PrintTable(rows);
  }
}

// The factory's rows, from the fleet's record server.
int RunFleetHistory(const HistoryOptions& options, const records::HistoryFilter& filter) {
  std::string error;
  auto fleet = records::FleetServer::Connect(options.fleet, error);
  std::vector<records::UnitRow> rows;
  if (!fleet || !fleet->CheckSchema(error) || !fleet->History(filter, rows, error)) {
    Say(stderr, "error: --fleet: %s\n", {error});
    return kExitFailure;
  }
  PrintRows(options, rows);
  return kExitSuccess;
}

// The rows not yet delivered to each output, with their last error.
void PrintUndelivered(const HistoryOptions& options, const std::vector<records::UndeliveredRow>& rows) {
  if (rows.empty()) Say(options.json ? stderr : stdout, "every unit has been delivered\n");
  if (options.json) {
    for (const auto& row : rows) {
      Print(stdout, "%s\n", JsonText(report::UndeliveredJson(row)).c_str());
    }
    return;
  }
  if (rows.empty()) return;
  Print(stdout, "%s\n",
        (PadTo(Tr("id"), 6) + " " + PadTo(Tr("seq"), 6) + " " + PadTo(Tr("output"), 12) + " " +
         PadTo(Tr("queued (UTC)"), 24) + " " + PadTo(Tr("tries"), 5) + "  " + std::string(Tr("state and last error")))
            .c_str());
  for (const auto& row : rows) {
    std::string state = row.stopped ? std::string(Tr("needs a person")) : std::string(Tr("waiting"));
    if (row.last_error) state += ": " + *row.last_error;
    Print(stdout, "%-6lld %-6lld %-12s %-24s %5d  %s\n", static_cast<long long>(row.unit),
          static_cast<long long>(row.seq), TableText(row.output).c_str(), TableText(row.queued_utc).c_str(),
          row.attempts, TableText(state).c_str());
  }
}

// --redeliver: the units queued again, in one write.
int Redeliver(const std::string& path, const std::vector<std::int64_t>& units) {
  std::string error;
  auto records = records::RunRecords::Open(path, error);
  if (!records) {
    Say(stderr, "error: the run records %s cannot be opened to queue the units again: %s\n", {path, error});
    return kExitFailure;
  }
  if (!records->Redeliver(units, error)) {
    Say(stderr, "error: nothing was queued again: %s\n", {error});
    return kExitUsage;
  }
  Say(stdout,
      "%s units queued again: a station running on these records delivers them now, else the next one started with "
      "--upload or --drop-folder\n",
      {std::to_string(units.size())});
  return kExitSuccess;
}

int RunHistory(const Context& context, const HistoryOptions& options) {
  records::HistoryFilter filter = options.filter;
  if (const auto status = ReadSince(filter)) return *status;
  if (!options.fleet.empty() && (options.after || options.undelivered || !options.redeliver.empty())) {
    Say(stderr,
        "error: --after, --undelivered and --redeliver read a station's own records (its outbox): leave out --fleet\n");
    return kExitUsage;
  }
  if (!options.fleet.empty()) return RunFleetHistory(options, filter);
  if (filter.station) {
    Say(stderr, "error: --station chooses among the rows of a fleet: add --fleet URL\n");
    return kExitUsage;
  }
  std::string path;
  if (const auto status = FindRecords(context, options, path)) return *status;
  if (!options.redeliver.empty()) return Redeliver(path, options.redeliver);
  std::string error;
  records::RecordsProblem problem = records::RecordsProblem::kNone;
  auto records = records::RunRecords::OpenToRead(path, error, &problem);
  if (!records) {
    Say(stderr, "error: the run records %s cannot be read: %s\n", {path, error});
    return problem == records::RecordsProblem::kCannotOpen ? kExitFailure : kExitUsage;
  }
  if (options.undelivered) {
    const auto undelivered = records->Undelivered(error);
    if (error.empty()) {
      PrintUndelivered(options, undelivered);
      return kExitSuccess;
    }
  }
  const auto rows = error.empty() ? options.after ? records->Finished(*options.after, filter.limit, error)
                                                  : records->History(filter, error)
                                  : std::vector<records::UnitRow>{};
  if (!error.empty()) {
    Say(stderr, "error: the run records %s cannot be read: %s\n", {path, error});
    return records->problem() == records::RecordsProblem::kDamaged ? kExitUsage : kExitFailure;
  }
  PrintRows(options, rows);
  return kExitSuccess;
}

}  // namespace

void AddHistoryCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<HistoryOptions>();
  auto* sub = app.add_subcommand("history", "The station's run records, newest first");
  auto* record = sub->add_option("--record", options->record, "the run records (default: quillon-runs.db beside the log)")
      ->transform(AbsolutePath());
  sub->add_option("--fleet", options->fleet,
                  "the factory's rows, from the fleet's record server (a PostgreSQL URL or \"host=... dbname=...\")")
      ->check(NotEmpty())
      ->excludes(record);
  sub->add_option("--station", options->filter.station, "with --fleet: units of this station (its name or UUID)")
      ->check(NotEmpty());
  sub->add_option("--log", options->log, "the log whose folder holds the run records")->transform(AbsolutePath());
  sub->add_option("--since", options->filter.since,
                  "units begun at or after this instant (ISO 8601: 2026-12-08, 2026-12-08T06:00, "
                  "2026-12-08T15:00+09:00; UTC without an offset)");
  sub->add_option("--port", options->filter.port, "units of this port")->check(NotEmpty());
  sub->add_option("--serial", options->filter.serial,
                  "the unit with this serial number (digits compare as a number: 3 finds 000003)")
      ->check(NotEmpty());
  sub->add_flag("--failed", options->filter.failed, "units that did not pass (incomplete ones included)");
  sub->add_option("--limit", options->filter.limit, "at most this many rows")->check(CLI::PositiveNumber);
  auto* after = sub->add_option("--after", options->after,
                                 "units that ended after this completion number (\"seq\"), in the order they ended: "
                                 "a collector that remembers the last seq it read gets every unit once")
                    ->check(CLI::NonNegativeNumber);
  for (const char* filter : {"--since", "--port", "--serial", "--failed", "--station"}) after->excludes(filter);
  auto* undelivered =
      sub->add_flag("--undelivered", options->undelivered,
                    "the units not yet delivered to each output (--upload, --drop-folder), with the last error");
  undelivered->excludes(after);
  sub->add_option("--redeliver", options->redeliver,
                  "queue these units (ids) again for delivery to every output they went to")
      ->check(CLI::PositiveNumber)
      ->excludes(after)
      ->excludes(undelivered);
  auto* json = sub->add_flag("--json", options->json, "one JSON object per row");
  sub->add_flag("--csv", options->csv, "CSV (RFC 4180) with a header row of the column names")
      ->excludes(json)
      ->excludes(undelivered);
  sub->callback([options, &context, &status] { status = RunHistory(context, *options); });
}

}  // namespace quillon::cli
