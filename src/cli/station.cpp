// quillon-cli station: a production line's fixtures, board after board on every port, with a
// row per unit in the run records and a serial number stamped into each unit.

#include "station/station.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>

#include "base/messages.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/flash_steps.h"
#include "cli/console.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "cli/stamp_option.h"
#include "cli/station_config.h"
#include "cli/terminal.h"
#include "image/serial_stamp.h"
#include "records/run_records.h"
#include "station/result_command.h"
#if QUILLON_LIVE_PAGE
#include "page/live_page.h"
#endif

namespace quillon::cli {

std::optional<std::pair<std::string, int>> ParseListenAddress(const std::string& text) {
  std::string address = "127.0.0.1";
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const auto end = text.find("]:");
    if (end == std::string::npos) return std::nullopt;
    address = text.substr(1, end - 1);
    port = text.substr(end + 2);
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (address.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    return std::nullopt;
  }
  return std::make_pair(address, std::stoi(port));
}

namespace {

#if QUILLON_LIVE_PAGE
using LivePageHolder = page::LivePage;
#else
struct LivePageHolder {};
#endif

#if QUILLON_LIVE_PAGE
// The live page's facts, its address and its start; an error has been said when it returns null.
std::unique_ptr<page::LivePage> StartPage(FlashRun& run, const records::UnitRow& row,
                                                   records::RunRecords* records) {
  const auto where = ParseListenAddress(run.options.http);
  if (!where) {
    Say(stderr,
        "error: --http %s: write PORT, ADDR:PORT or [IPv6]:PORT, e.g. 8080 or 0.0.0.0:8080\n",
        {run.options.http});
    return nullptr;
  }
  page::StationFacts facts;
  for (const auto& job : run.jobs) facts.ports.push_back({job.name, job.adapter});
  facts.update_file = row.update_file;
  facts.image_sha256 = row.image_sha256;
  facts.station = row.station;
  facts.version = row.quillon_version;
  facts.next_step = [&run](const PortResult& result, Language language) { return NextStep(run, result, language); };
  auto page = std::make_unique<page::LivePage>(std::move(facts), records);
  std::string error;
  if (!page->Start(where->first, where->second, error)) {
    Say(stderr, "error: --http: the live page %s; choose another port\n", {error});
    return nullptr;
  }
  const bool ipv6 = where->first.find(':') != std::string::npos;
  page->Subscribe(run.events);
  station::NoticeEvent served{station::NoticeEvent::Kind::kPageServed, std::nullopt,
                              (ipv6 ? "[" + where->first + "]" : where->first) + ":" + std::to_string(page->port())};
  served.exposed = where->first != "127.0.0.1" && where->first != "::1" && where->first != "localhost";
  run.events.Publish(served);
  return page;
}
#endif

// --first-serial only starts a counter: on one that stands elsewhere it would be ignored, so
// it is refused; a first number the stamp cannot hold is refused before any board is taken.
std::optional<int> CheckFirstSerial(const FlashOptions& options, records::RunRecords& records,
                                    station::StationPlan& plan) {
  if (options.first_serial && *options.first_serial < 0) {
    Say(stderr, "error: --first-serial %s: serial numbers start at 0 or more\n",
        {std::to_string(*options.first_serial)});
    return kExitUsage;
  }
  plan.first_serial = options.first_serial ? static_cast<std::uint64_t>(*options.first_serial) : 1;
  // A fleet's counter is shared: --first-serial starts it when it is new and never moves it;
  // the numbers a lease gives are checked against the stamp as they are drawn.
  if (!options.fleet.empty()) {
    if (plan.stamp && !StampBytes(*plan.stamp, plan.first_serial)) {
      Say(stderr, "error: --first-serial %s does not fit --serial-number %s\n",
          {std::to_string(plan.first_serial), options.serial_number});
      return kExitUsage;
    }
    return std::nullopt;
  }
  std::string error;
  const auto next = records.CounterNext(plan.counter, error);
  if (!error.empty()) {
    Say(stderr, "error: the run records cannot be read: %s\n", {error});
    return kExitRecords;
  }
  if (next && options.first_serial && *next != plan.first_serial) {
    Say(stderr,
        "error: --first-serial %s: counter \"%s\" already exists and its next number is %s; leave "
        "--first-serial out to go on from %s, or start another counter with --serial-counter NAME\n",
        {std::to_string(*options.first_serial), plan.counter, std::to_string(*next), std::to_string(*next)});
    return kExitUsage;
  }
  const std::uint64_t first = next.value_or(plan.first_serial);
  if (plan.stamp && !StampBytes(*plan.stamp, first)) {
    if (next) {
      Say(stderr,
          "error: the next number of counter \"%s\", %s, does not fit --serial-number %s; start another "
          "counter with --serial-counter NAME\n",
          {plan.counter, std::to_string(first), options.serial_number});
    } else {
      Say(stderr, "error: --first-serial %s does not fit --serial-number %s\n",
          {std::to_string(first), options.serial_number});
    }
    return kExitUsage;
  }
  return std::nullopt;
}

// --pool, --pool-at and --on-fail: each pool with its stamp, one that exists in the records;
// exit 2 (said) otherwise.
std::optional<int> PlanPools(const FlashRun& run, records::RunRecords& records, station::StationPlan& plan) {
  const auto& options = run.options;
  if (options.pools.size() != options.pool_at.size()) {
    Say(stderr, "error: --pool: give one --pool-at ADDR:FORMAT for each --pool NAME, in the same order (%s pools, %s --pool-at)\n",
        {std::to_string(options.pools.size()), std::to_string(options.pool_at.size())});
    return kExitUsage;
  }
  if (!options.on_fail.empty() && options.on_fail.size() != 1 && options.on_fail.size() != options.pools.size()) {
    Say(stderr, "error: --on-fail: give it once for every pool, or once per --pool in the same order\n");
    return kExitUsage;
  }
  for (std::size_t i = 0; i < options.pools.size(); ++i) {
    station::ValuePool pool;
    pool.name = options.pools[i];
    for (const auto& earlier : plan.pools) {
      if (earlier.name == pool.name) {
        Say(stderr, "error: --pool %s is given twice\n", {pool.name});
        return kExitUsage;
      }
    }
    if (const auto status = CheckValueStamp(*run.files.image, options.pool_at[i], pool.stamp)) return *status;
    pool.reuse_on_fail = PoolReusesValue(options, pool.name);
    plan.pools.push_back(pool);
    // A fleet's pools are the fleet's: its values come in leases as the station runs.
    if (!options.fleet.empty()) continue;
    std::string error;
    const auto count = records.CountPool(pool.name, error);
    if (!count) {
      Say(stderr, "error: the run records cannot be read: %s\n", {error});
      return kExitRecords;
    }
    if (!count->exists()) {
      Say(stderr, "error: --pool %s: there is no such pool in the run records; load it first with quillon-cli pool "
                  "import %s FILE.csv --column C (and the same --record)\n",
          {pool.name, pool.name});
      return kExitUsage;
    }
  }
  return std::nullopt;
}

// Reads the terminal for a keyboard-wedge scanner.
class TerminalScanInput final : public station::ScanInput {
 public:
  bool Read(std::string& bytes, int milliseconds) override { return ReadInputBytes(bytes, milliseconds); }
};

// --scan, --scan-port, --scan-pattern: a scanner per fixture, read from now on; exit 2 (said)
// for a scanner that cannot be used or a pattern that is none.
std::optional<int> StartScanners(FlashRun& run, station::StationPlan& plan,
                                 std::vector<std::unique_ptr<station::ScanReader>>& readers) {
  const auto& options = run.options;
  if (!options.scan_pattern.empty()) {
    try {
      plan.scan_pattern.emplace(options.scan_pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& error) {
      Say(stderr, "error: --scan-pattern %s: not a regular expression (%s)\n", {options.scan_pattern, error.what()});
      return kExitUsage;
    }
    plan.scan_pattern_text = options.scan_pattern;
  }
  plan.allow_rescan = options.allow_rescan;
  if (options.scan) {
    if (run.jobs.size() != 1) {
      Say(stderr, "error: --scan reads the labels from the terminal for one fixture; with several ports give a "
                  "--scan-port DEVICE for each --port\n");
      return kExitUsage;
    }
    readers.push_back(std::make_unique<station::ScanReader>(run.jobs[0].name, std::string(Tr("the terminal")),
                                                            std::make_unique<TerminalScanInput>(), run.events));
  } else if (!options.scan_ports.empty()) {
    if (options.scan_ports.size() != run.jobs.size()) {
      Say(stderr, "error: --scan-port: give one scanner for each --port, in the same order (%s ports, %s scanners)\n",
          {std::to_string(run.jobs.size()), std::to_string(options.scan_ports.size())});
      return kExitUsage;
    }
    for (std::size_t i = 0; i < run.jobs.size(); ++i) {
      auto input = station::OpenSerialScanner(MakePlatformCommDriver(), options.scan_ports[i]);
      if (!input) {
        Say(stderr,
            "error: --scan-port %s cannot be opened as a serial scanner at 9600 bit/s (absent, in use, or no serial "
            "device); check the scanner's cable, or run quillon-cli ports\n",
            {options.scan_ports[i]});
        return kExitUsage;
      }
      readers.push_back(std::make_unique<station::ScanReader>(run.jobs[i].name, options.scan_ports[i], std::move(input),
                                                              run.events));
    }
  } else if (!options.scan_pattern.empty() || options.allow_rescan) {
    Say(stderr, "error: --scan-pattern and --allow-rescan need --scan or --scan-port\n");
    return kExitUsage;
  }
  for (const auto& reader : readers) plan.scanners[reader->port()] = reader.get();
  return std::nullopt;
}

// The first pool that has no free value: a station that would stop at its first board does
// not start.
std::optional<std::string> EmptyPool(const station::StationPlan& plan) {
  if (plan.fleet != nullptr) return std::nullopt;  // the fleet says so when it has none to lease
  for (const auto& pool : plan.pools) {
    std::string error;
    const auto count = plan.records->CountPool(pool.name, error);
    if (count && count->free == 0) return pool.name;
  }
  return std::nullopt;
}

// What the station's start says it will do.
station::NoticeEvent::Plan StartPlan(const FlashRun& run, const station::StationPlan& plan,
                                     records::RunRecords& records) {
  station::NoticeEvent::Plan said;
  said.update = plan.row.update_file;
  said.image_sha256 = plan.row.image_sha256;
  said.pinned = !run.options.expect_sha256.empty();
  said.boot = BootPath(run.options, run.settings);
  said.operator_name = plan.row.operator_name;
  if (plan.stamp) {
    said.counter = plan.counter;
    if (plan.fleet != nullptr) {
      said.lease = run.options.lease;
    } else {
      std::string error;
      said.next_serial = records.CounterNext(plan.counter, error).value_or(plan.first_serial);
    }
  }
  for (std::size_t i = 0; i < plan.pools.size(); ++i) {
    std::string error;
    const auto count = plan.fleet != nullptr ? std::nullopt : records.CountPool(plan.pools[i].name, error);
    said.pools.push_back({plan.pools[i].name, run.options.pool_at[i],
                          count ? std::optional<std::int64_t>(count->free) : std::nullopt, plan.pools[i].reuse_on_fail});
  }
  return said;
}

int StationExit(const station::StationOutcome& outcome) {
  if ((outcome.halt && outcome.halt->records()) || outcome.unwritten > 0) return kExitRecords;
  if (outcome.halt && (outcome.halt->reason == station::HaltEvent::Reason::kPoolEmpty ||
                       outcome.halt->reason == station::HaltEvent::Reason::kValueDoesNotFit)) {
    return kExitPoolEmpty;
  }
  if (outcome.halt) return kExitStationHalted;
  if (outcome.interrupted > 0) return kExitInterrupted;
  if (outcome.failed > 0) return kExitSomePortsFailed;
  return kExitSuccess;
}

// JSON Lines, or a line per port (redrawn in place on a terminal).
void ChooseStationPrinter(FlashRun& run) {
  if (run.options.json) {
    run.report = std::make_unique<JsonLinesReport>(
        stdout, EnglishFix(run), [&run](const PortResult& result) { return NextStep(run, result, Language::kEnglish); });
  } else {
    std::vector<std::string> names;
    for (const auto& job : run.jobs) names.push_back(job.name);
    auto lines = std::make_unique<PortLinesReport>(
        stdout, IsTerminal(stdout), names,
        [&run](const PortResult& result) { return NextStep(run, result, CurrentLanguage()); });
    // NO_COLOR (any value) asks a program for no colour; the words say the result anyway.
    const char* no_colour = std::getenv("NO_COLOR");
    lines->ShowResults(no_colour == nullptr || *no_colour == '\0', run.options.bell);
    run.report = std::move(lines);
  }
  Subscribe(run.events, *run.report);
}

// The run records, their folder made for an installed copy; null (and said) when they cannot
// be used.
std::unique_ptr<records::RunRecords> OpenStationRecords(FlashRun& run, const std::string& path) {
  if (run.make_log_folder) {
    std::error_code ignored;
    std::filesystem::create_directories(Utf8Path(path).parent_path(), ignored);
  }
  std::string error;
  auto records = records::RunRecords::Open(path, error);
  if (!records) {
    run.events.Publish(station::NoticeEvent{station::NoticeEvent::Kind::kRecordsUnusable, std::nullopt, path, error});
  }
  return records;
}

// --http: the live page, subscribed to the station's events; false when it cannot be served
// (said).
bool ServePage(FlashRun& run, const records::UnitRow& row, records::RunRecords* records,
               std::unique_ptr<LivePageHolder>& page) {
  if (run.options.http.empty()) return true;
#if QUILLON_LIVE_PAGE
  page = StartPage(run, row, records);
  return page != nullptr;
#else
  (void)row, (void)records, (void)page;
  Say(stderr, "error: --http: this build of quillon-cli has no live page\n");
  return false;
#endif
}

// The station's last words: why it stopped taking boards, the rows it could not keep, a stop,
// and the counts; its exit status.
int EndStation(FlashRun& run, const station::StationOutcome& outcome, const std::string& records_path) {
  const int status = StationExit(outcome);
  using Notice = station::NoticeEvent;
  if (outcome.halt) {
    Notice halted{Notice::Kind::kStationHalted};
    halted.halt = outcome.halt;
    run.events.Publish(halted);
  }
  if (outcome.unwritten > 0) {
    Notice unwritten{Notice::Kind::kRowsUnwritten, std::nullopt, records_path};
    unwritten.count = outcome.unwritten;
    run.events.Publish(unwritten);
  }
  if (status == kExitInterrupted) run.events.Publish(Notice{Notice::Kind::kStationInterrupted});
  run.events.Publish(station::StationSummaryEvent{outcome.ports, outcome.passed, outcome.failed, outcome.interrupted, status});
  // The page, still open, now says that the station has ended; its streams end with the process.
  return status;
}

int RunStationCommand(const Context& context, const FlashOptions& options) {
  if (!records::RecordsAvailable()) {
    Say(stderr,
        "error: this build of quillon-cli has no station: it was made without SQLite for the run "
        "records (the Linux build has it)\n");
    return kExitUsage;
  }
  FlashRun run{options, {}};
  if (const auto status = PrepareRun(context, run)) return *status;
  ChooseStationPrinter(run);
  if (const auto status = LoadFiles(run)) return *status;
  if (const auto status = CheckExpectedImage(run)) return *status;
  station::StationPlan plan;
  if (const auto status = CheckStamp(*run.files.image, options.serial_number, plan.stamp)) return *status;
  if (const auto status = Preflight(run, true)) return *status;
  const std::string records_path = RecordsPath(run);
  auto records = OpenStationRecords(run, records_path);
  if (!records) return kExitUsage;
  plan.records = records.get();
  plan.records_name = records_path;
  plan.units = options.units;
  plan.counter = options.serial_counter;
  plan.probe_wait_ms = options.probe_wait;
  if (const auto status = CheckFirstSerial(options, *records, plan)) return *status;
  if (const auto status = PlanPools(run, *records, plan)) return *status;
  plan.row = BaseRow(run);
  records->ReuseFailedNumbers(options.reuse_failed_number);
  FleetSetup fleet;
  if (!options.fleet.empty()) {
    records::FleetPlan fleet_plan{plan.counter, plan.first_serial, options.lease, plan.stamp.has_value(), {}};
    for (const auto& pool : plan.pools) fleet_plan.pools.push_back(pool.name);
    if (const auto status = SetUpFleet(run, *records, records_path, fleet_plan, fleet)) return *status;
    plan.fleet = fleet.link.get();
    plan.fleet_server = fleet.where;
    plan.row.station = fleet.identity.name;
  }
  DeliverySetup outputs;
  if (const auto status = SetUpDeliveries(run, *records, records_path, outputs)) return *status;
  plan.outputs = outputs.Links();
  plan.deliver_grace_ms = DeliverGraceMs(options);
  std::unique_ptr<LivePageHolder> page;
  if (!ServePage(run, plan.row, records.get(), page)) return kExitUsage;
  // --on-result: after each unit, on its port's own thread; it lets its last commands end
  // before the station's summary is the last word.
  std::optional<station::ResultCommand> on_result;
  if (!options.on_result.empty()) {
    on_result.emplace(station::ResultCommandPlan{options.on_result, std::chrono::milliseconds(options.on_result_timeout * 1000),
                                                 [](const PortResult& result) {
                                                   return result.interrupted ? std::string("INTERRUPTED")
                                                                             : MessageTextShown(result.id, MessageText(result.id));
                                                 }},
                      run.events);
  }
  std::vector<std::unique_ptr<station::ScanReader>> scanners;
  if (const auto status = StartScanners(run, plan, scanners)) return *status;
  // A pool that is empty now: no board is asked for, nothing is sent.
  if (const auto empty = EmptyPool(plan)) {
    station::StationOutcome outcome;
    outcome.halt = station::HaltEvent{station::HaltEvent::Reason::kPoolEmpty, *empty};
    for (const auto& job : run.jobs) outcome.ports.push_back({job.name});
    return EndStation(run, outcome, records_path);
  }
  // Message 202 once, as information: the fixtures take each board as it answers.
  run.events.Publish(station::MessageEvent{std::nullopt, kMsgRestartInBootMode, {}});
  station::NoticeEvent ready{station::NoticeEvent::Kind::kStationReady, std::nullopt, records_path};
  ready.count = static_cast<int>(run.jobs.size());
  ready.plan = StartPlan(run, plan, *records);
  run.events.Publish(ready);
  const auto outcome = station::RunStation(run.jobs, run.settings, run.files, plan, InterruptFlag(), run.events,
                                           [&run] { run.report->Tick(); });
  if (on_result) on_result->Finish();
  return EndStation(run, outcome, records_path);
}

}  // namespace

void AddStationCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<FlashOptions>();
  auto* sub = app.add_subcommand("station",
                                 "A production station: every port takes board after board, with a run record per "
                                 "unit and serial numbers that never repeat");
  AddRunOptions(*sub, *options, context);
  sub->add_option("--record", options->record,
                  "the run records (SQLite; default quillon-runs.db beside the log); several stations may share one")
      ->transform(AbsolutePath());
  sub->add_option("--units", options->units, "end once this many units have ended, over all ports")
      ->check(CLI::Validator(
          [](const std::string& value) {
            return value.find_first_not_of("0123456789") == std::string::npos && value.find_first_not_of('0') != std::string::npos
                       ? std::string()
                       : std::string("must be a whole number, at least 1");
          },
          "", "AT LEAST 1"));
  sub->add_option("--serial-number", options->serial_number,
                  "stamp each unit's serial number at ADDR in FORMAT: be32, le32, be16, le16 or dec:W")
      ->check(NotEmpty());
  sub->add_option("--first-serial", options->first_serial,
                  "where a new serial counter starts (default 1); refused for a counter that stands elsewhere");
  sub->add_option("--serial-counter", options->serial_counter, "the counter the numbers come from (default \"default\")")
      ->check(NotEmpty());
  AddFleetOptions(*sub, *options);
  sub->add_option("--lease", options->lease,
                  "with --fleet: how many serial numbers the station leases from the fleet's counter at a time "
                  "(default 20); it goes on with them while the server is away")
      ->check(CLI::Range(1, 100000));
  sub->add_option("--failed-number", options->failed_number,
                  "spend (default): a failed unit's serial number is never given again; reuse: the next unit of this "
                  "station gets it (the failed row says so)")
      ->check(CLI::IsMember({"spend", "reuse"}));
  sub->add_option("--pool", options->pools,
                  "give each unit the next free value of pool NAME (quillon-cli pool import), stamped at its --pool-at; "
                  "once per pool")
      ->check(NotEmpty());
  sub->add_option("--pool-at", options->pool_at,
                  "where and how a pool's value is stamped, one per --pool in order: ADDR:FORMAT, FORMAT hex:N, mac, "
                  "ascii:W, be32 or le32")
      ->check(NotEmpty());
  sub->add_option("--on-fail", options->on_fail,
                  "spend (default): a failed unit's pool value is never given again; reuse: it goes back to its pool. "
                  "Once for every pool, or once per --pool")
      ->check(CLI::IsMember({"spend", "reuse"}));
  auto* scan = sub->add_flag("--scan", options->scan,
                             "before each board's update, wait for its label to be scanned: a keyboard-wedge scanner "
                             "typing a line on this terminal (one --port)");
  sub->add_option("--scan-port", options->scan_ports,
                  "a serial or USB-CDC scanner per --port, in their order: each fixture's board waits for its label "
                  "from it")
      ->check(NotEmpty())
      ->excludes(scan);
  sub->add_option("--scan-pattern", options->scan_pattern,
                  "a label must match this regular expression (ECMAScript, the whole label); another is refused");
  sub->add_flag("--allow-rescan", options->allow_rescan,
                "take a label a unit already passed with (else it is refused: a board flashed twice)");
  sub->add_option("--probe-wait", options->probe_wait,
                  "ms a probe waits for a board on a quiet line (default 500); a line that answers anything gets "
                  "the update's whole 3500 ms")
      ->check(CLI::Range(50, 3500));
  sub->add_option("--operator", options->operator_name, "the operator's name, kept in every unit's row");
  sub->add_option("--http", options->http,
                  "serve the live page on [ADDR:]PORT (without ADDR only this machine, 127.0.0.1, can see it; "
                  "0.0.0.0:PORT for the whole network)");
  sub->add_flag("--bell", options->bell, "ring the terminal after each unit: once for a pass, three times otherwise");
  sub->add_option("--on-result", options->on_result,
                  "run CMD through the shell after each unit, on its port's own thread (no port waits for it), with "
                  "QUILLON_RESULT (205: passed), QUILLON_OK, QUILLON_PORT, QUILLON_UNIT, QUILLON_SERIAL and "
                  "QUILLON_MESSAGE (and QUILLON_POOL_<NAME> for each --pool) in its environment; its output is discarded; a failure is a warning")
      ->check(NotEmpty());
  sub->add_option("--on-result-timeout", options->on_result_timeout,
                  "seconds --on-result's command may take before it is stopped (default 10)")
      ->check(CLI::Range(1, 3600));
  sub->add_option("--config", options->config,
                  "read the station's options from FILE: INI, one [station] section, a key per long option "
                  "(port = /dev/ttyUSB0 once per port, yes = true, update = FILE); the command line's options "
                  "replace the file's");
  auto print_config = std::make_shared<bool>(false);
  sub->add_flag("--print-config", *print_config,
                "write the options in effect (the file's and the command line's) as a --config file, and end");
  sub->callback([options, print_config, sub, &context, &status] {
    if (*print_config) {
      Print(stdout, "%s", EffectiveStationConfig(*sub).c_str());
      status = kExitSuccess;
      return;
    }
    options->reuse_failed_number = options->failed_number == "reuse";
    status = RunStationCommand(context, *options);
  });
}

}  // namespace quillon::cli
