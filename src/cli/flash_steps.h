#pragma once
// The steps `flash` and `station` share: the ports as jobs, their files, the update's files
// loaded once, the image pinned by its hash.

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/context.h"
#include "cli/run_report.h"
#include "cli/stamp_option.h"
#include "image/serial_stamp.h"
#include "settings/update_settings.h"
#include "station/events.h"
#include "station/port_run.h"
#include "records/delivery.h"
#include "records/fleet_link.h"
#include "records/run_records.h"
#include "update/update_sequence.h"

namespace quillon::cli {

struct FlashOptions {
  std::string update;
  std::vector<std::string> ports;
  std::string boot;
  std::optional<int> baud;
  std::optional<int> send_wait;
  std::string ini;
  std::string log;
  std::string trace;
  bool json = false;
  bool yes = false;
  std::string record;         ///< the run records' database; empty: none (flash) or the default (station)
  std::string config;         ///< station --config: the file its options were read from
  std::string on_result;      ///< station --on-result: a command after each unit
  int on_result_timeout = 10; ///< its time limit, in seconds
  bool bell = false;          ///< station --bell: the terminal rings after each unit
  std::string expect_sha256;  ///< the image's SHA-256 the run must have; empty: any
  // The station's own.
  int units = 0;
  std::string serial_number;
  std::optional<long long> first_serial;  ///< where a new counter starts; nothing: 1
  int probe_wait = 500;                    ///< ms a probe of a quiet line waits for the chip
  std::string serial_counter = "default";
  std::vector<std::string> pools;    ///< station --pool: a value of each for every unit
  std::vector<std::string> pool_at;  ///< --pool-at: where and how, one per pool in their order
  std::vector<std::string> on_fail;  ///< --on-fail: reuse or spend, once for all pools or once per pool
  bool scan = false;                   ///< station --scan: the terminal's lines are the one fixture's labels
  std::vector<std::string> scan_ports; ///< --scan-port: a scanner per --port, in their order
  std::string scan_pattern;            ///< --scan-pattern: a label must match it whole
  bool allow_rescan = false;           ///< --allow-rescan: a label that passed before is taken again
  std::string operator_name;
  std::string http;  ///< [ADDR:]PORT of the live page; empty: none
  // The fleet's.
  std::string fleet;         ///< the record server's URL; empty: none
  int lease = 20;            ///< how many numbers a lease holds
  std::string failed_number = "spend";  ///< --failed-number: spend or reuse
  bool reuse_failed_number = false;
  std::string station_name;  ///< empty: the host name
  // The deliveries to the factory's systems.
  std::string upload;                      ///< the webhook's URL; empty: none
  std::string upload_ca;                   ///< a PEM file of the authorities the webhook's certificate may come from
  std::vector<std::string> upload_headers; ///< "Name: value"
  double upload_timeout = 10;              ///< seconds a POST may take before it is tried again
  std::string drop_folder;                 ///< a folder that gets a file per unit; empty: none
  double deliver_grace = 30;               ///< seconds the end goes on delivering
};

// Everything one run decides before its ports start.
struct FlashRun {
  FlashRun(const FlashOptions& flash_options, UpdateSettings loaded) : options(flash_options), settings(std::move(loaded)) {}
  const FlashOptions& options;
  UpdateSettings settings;
  bool make_log_folder = false;
  std::vector<station::PortJob> jobs;
  station::EventStream events;
  std::unique_ptr<RunReport> report;
  UpdateFiles files;
  std::string image_sha256;  ///< of the image as `image` writes it, once the files are loaded

  bool several() const { return jobs.size() > 1; }
  // The run's last word to every printer, and its exit status.
  int End(std::vector<station::PortResult> results, int status) {
    events.Publish(station::SummaryEvent{std::move(results), status});
    return status;
  }
};

using NamedFiles = std::vector<std::pair<std::string, std::string>>;  // path, what it is

/// The options both commands take: the ports, files, bit rate, printers, records, hash.
void AddRunOptions(CLI::App& sub, FlashOptions& options, const Context& context);

/// What to do about a failed port's result, in English (JSON's "fix").
std::function<std::string(const PortResult&)> EnglishFix(const FlashRun& run);
/// Whether --on-fail gives a failed unit's value of `pool` back to it.
bool PoolReusesValue(const FlashOptions& options, const std::string& pool);
/// A station's failed unit: what the operator does next, in `language`: the fix, what to do with
/// the board, and whether its serial number is spent.
std::string NextStep(const FlashRun& run, const PortResult& result, Language language);
/// The settings for this run, loaded with the options laid over them (never saved), and its
/// ports as jobs with their logs and traces checked; the exit status when that is wrong usage.
std::optional<int> PrepareRun(const Context& context, FlashRun& run);
/// The run's own files, which no log or trace may be.
NamedFiles RunInputs(const FlashRun& run);

std::optional<int> MakeJobs(const FlashOptions& options, const UpdateSettings& settings,
                            std::vector<station::PortJob>& jobs);
std::optional<int> NameFiles(const FlashOptions& options, const UpdateSettings& settings, bool make_log_folder,
                             std::vector<station::PortJob>& jobs);
std::optional<int> CheckLogs(const std::vector<station::PortJob>& jobs, const NamedFiles& inputs);
std::optional<int> CheckTraces(const std::vector<station::PortJob>& jobs, const NamedFiles& inputs);
std::optional<int> LoadFiles(FlashRun& run);
/// Every port must be usable before message 202 (not the console, not held by another program,
/// ...). For a station (`for_station`), a port that is not there yet is no reason to stop (its
/// fixture's adapter may be plugged in later), and a port that stops it ends with a station's
/// summary.
std::optional<int> Preflight(FlashRun& run, bool for_station = false);
/// --expect-sha256: exit 19 with both hashes when the image is another one; nothing sent.
std::optional<int> CheckExpectedImage(FlashRun& run);
/// The run records' database: --record, else quillon-runs.db beside the log in use.
std::string RecordsPath(const FlashRun& run);
/// --http's [ADDR:]PORT as an address and port: 127.0.0.1 without ADDR; nothing when it is no
/// such text.
std::optional<std::pair<std::string, int>> ParseListenAddress(const std::string& text);
/// What every row of this run shares: the station, operator, files and their hashes, version.
records::UnitRow BaseRow(const FlashRun& run);

/// The boot file the run sends: --boot, else the settings' Info File.
std::string BootPath(const FlashOptions& options, const UpdateSettings& settings);


/// --fleet: the station's identity (kept beside its records), its rows queued in their outbox,
/// and its link to the record server.
struct FleetSetup {
  records::StationIdentity identity;
  std::unique_ptr<records::FleetLink> link;
  std::string where;  ///< the record server as people read it (no password)
};
/// Sets up the fleet for the records at `records_path` (drawing leased numbers of `plan` when
/// `plan.numbers`); the exit status when it cannot (said). A server that cannot be reached now
/// is a warning: the station goes on from its own records.
std::optional<int> SetUpFleet(FlashRun& run, records::RunRecords& records, const std::string& records_path,
                              records::FleetPlan plan, FleetSetup& setup);
/// --upload and --drop-folder: the outputs every finished unit is delivered to, from the
/// records' outbox. Without them the records still give each unit its completion number.
struct DeliverySetup {
  std::vector<std::unique_ptr<records::DeliveryLink>> links;
  std::vector<records::DeliveryLink*> Links() const;
};
/// Sets up the outputs for the records at `records_path`; the exit status when it cannot
/// (said).
std::optional<int> SetUpDeliveries(FlashRun& run, records::RunRecords& records, const std::string& records_path,
                                   DeliverySetup& setup);
/// How long the end goes on delivering (--deliver-grace).
int DeliverGraceMs(const FlashOptions& options);
/// Adds --fleet, --station-name and the deliveries' options.
void AddFleetOptions(CLI::App& sub, FlashOptions& options);

}  // namespace quillon::cli
