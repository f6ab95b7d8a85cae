// quillon-cli fleet: the record server the stations of a factory share. `init` makes or
// upgrades its schema, `status` shows its counters, leases and stations, `numbers` what
// became of each serial number of a range.

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/output.h"
#include "records/fleet.h"
#include "report/words.h"

namespace quillon::cli {
namespace {

struct FleetOptions {
  std::string url;
  bool json = false;
  std::string counter = "default";
  std::uint64_t from = 0, to = 0;
};

// The connection, or nothing (said) when the server cannot be reached.
std::unique_ptr<records::FleetServer> Reach(const FleetOptions& options) {
  std::string error;
  auto fleet = records::FleetServer::Connect(options.url, error);
  if (!fleet) Say(stderr, "error: %s\n", {error});
  return fleet;
}

int RunInit(const FleetOptions& options) {
  auto fleet = Reach(options);
  if (!fleet) return kExitFailure;
  int from = 0;
  std::string error;
  if (!fleet->Init(from, error)) {
    Say(stderr, "error: the fleet's schema was not made: %s\n", {error});
    return kExitFailure;
  }
  if (from == records::kFleetSchema) {
    Say(stdout, "The fleet at %s is up to date (schema %s).\n", {fleet->Where(), std::to_string(from)});
  } else if (from == 0) {
    Say(stdout, "The fleet at %s is ready (schema %s made).\n", {fleet->Where(), std::to_string(records::kFleetSchema)});
  } else {
    Say(stdout, "The fleet at %s was upgraded from schema %s to %s.\n",
        {fleet->Where(), std::to_string(from), std::to_string(records::kFleetSchema)});
  }
  return kExitSuccess;
}

nlohmann::ordered_json StatusJson(const std::string& where, const records::FleetStatus& status) {
  nlohmann::ordered_json counters = nlohmann::ordered_json::array();
  for (const auto& counter : status.counters) counters.push_back({{"name", counter.name}, {"next", counter.next}});
  nlohmann::ordered_json leases = nlohmann::ordered_json::array();
  for (const auto& l : status.leases) {
    leases.push_back({{"id", l.lease.id}, {"counter", l.lease.counter}, {"first", l.lease.first},
                      {"last", l.lease.last}, {"station", l.station}, {"station_uuid", l.station_uuid},
                      {"taken_utc", l.taken_utc}, {"issued", l.issued}});
  }
  nlohmann::ordered_json stations = nlohmann::ordered_json::array();
  for (const auto& s : status.stations) {
    stations.push_back({{"name", s.name}, {"uuid", s.uuid}, {"host", s.host}, {"first_seen_utc", s.first_seen_utc},
                        {"last_seen_utc", s.last_seen_utc}, {"outbox_rows", s.outbox_rows},
                        {"outbox_oldest_utc", s.outbox_oldest_utc ? nlohmann::json(*s.outbox_oldest_utc) : nlohmann::json(nullptr)},
                        {"name_clash", s.name_clash}});
  }
  return nlohmann::ordered_json{{"server", where},   {"schema", status.schema},  {"units", status.units},
                                {"counters", counters}, {"leases", leases}, {"stations", stations}};
}

void PrintStatus(const std::string& where, const records::FleetStatus& status) {
  Say(stdout, "Fleet %s: schema %s, %s units\n", {where, std::to_string(status.schema), std::to_string(status.units)});
  Say(stdout, "\nSerial counters:\n");
  if (status.counters.empty()) Say(stdout, "  none yet\n");
  for (const auto& counter : status.counters) {
    Say(stdout, "  %s: next %s\n", {counter.name, std::to_string(counter.next)});
  }
  Say(stdout, "\nOpen leases:\n");
  if (status.leases.empty()) Say(stdout, "  none\n");
  for (const auto& l : status.leases) {
    Say(stdout, "  %s %s-%s (counter %s) to %s since %s: %s issued\n",
        {std::to_string(l.lease.id), std::to_string(l.lease.first), std::to_string(l.lease.last), l.lease.counter,
         l.station, l.taken_utc, std::to_string(l.issued)});
  }
  Say(stdout, "\nStations:\n");
  if (status.stations.empty()) Say(stdout, "  none yet\n");
  for (const auto& s : status.stations) {
    Say(stdout, "  %s (%s, on %s): last seen %s; %s rows waiting in its outbox\n",
        {s.name, s.uuid, s.host, s.last_seen_utc, std::to_string(s.outbox_rows)});
  }
  for (const auto& s : status.stations) {
    if (s.name_clash) {
      Say(stderr,
          "warning: several stations are named \"%s\" (%s is one): their rows are kept apart by UUID, but "
          "people cannot tell them apart; give each its own --station-name\n",
          {s.name, s.uuid});
    }
  }
}

int RunStatus(const FleetOptions& options) {
  auto fleet = Reach(options);
  if (!fleet) return kExitFailure;
  records::FleetStatus status;
  std::string error;
  if (!fleet->Status(status, error)) {
    Say(stderr, "error: %s\n", {error});
    return kExitFailure;
  }
  if (options.json) {
    Print(stdout, "%s\n", JsonText(StatusJson(fleet->Where(), status)).c_str());
  } else {
    PrintStatus(fleet->Where(), status);
  }
  return kExitSuccess;
}

constexpr std::uint64_t kMostNumbers = 1000000;

int RunNumbers(const FleetOptions& options) {
  if (options.to < options.from || options.to - options.from >= kMostNumbers) {
    Say(stderr, "error: --from %s --to %s: give a range of at most %s numbers, --from first\n",
        {std::to_string(options.from), std::to_string(options.to), std::to_string(kMostNumbers)});
    return kExitUsage;
  }
  auto fleet = Reach(options);
  if (!fleet) return kExitFailure;
  std::vector<records::NumberFate> fates;
  std::string error;
  if (!fleet->CheckSchema(error) || !fleet->Numbers(options.counter, options.from, options.to, fates, error)) {
    Say(stderr, "error: %s\n", {error});
    return kExitFailure;
  }
  for (const auto& fate : fates) {
    if (options.json) {
      nlohmann::ordered_json object{{"counter", options.counter}, {"number", fate.number}, {"state", fate.state},
                                    {"station", fate.station},    {"station_uuid", fate.station_uuid},
                                    {"at_utc", fate.at_utc},      {"reason", fate.reason}};
      object["unit"] = fate.unit ? nlohmann::json(*fate.unit) : nlohmann::json(nullptr);
      Print(stdout, "%s\n", JsonText(object).c_str());
    } else {
      Print(stdout, "%-12llu %-10s %-16s %-24s %s\n", static_cast<unsigned long long>(fate.number), fate.state.c_str(),
            fate.station.empty() ? "-" : fate.station.c_str(), fate.at_utc.empty() ? "-" : fate.at_utc.c_str(),
            fate.reason.c_str());
    }
  }
  return kExitSuccess;
}

}  // namespace

void AddFleetCommand(CLI::App& app, const Context&, int& status) {
  auto options = std::make_shared<FleetOptions>();
  auto* fleet = app.add_subcommand("fleet", "The record server the stations of a factory share (PostgreSQL)");
  fleet->require_subcommand(1);
  const char* url_help =
      "the fleet's PostgreSQL database: a URL (postgresql://USER@HOST:PORT/DATABASE) or \"host=... dbname=...\"; "
      "the password from ~/.pgpass, PGPASSFILE or PGPASSWORD";
  auto* init = fleet->add_subcommand("init", "Make the fleet's schema, or bring it up to date");
  init->add_option("URL", options->url, url_help)->required();
  init->callback([options, &status] { status = RunInit(*options); });
  auto* show = fleet->add_subcommand("status", "The counters, the open leases, the stations seen and their outboxes");
  show->add_option("URL", options->url, url_help)->required();
  show->add_flag("--json", options->json, "one JSON object");
  show->callback([options, &status] { status = RunStatus(*options); });
  auto* numbers = fleet->add_subcommand("numbers", "What became of each serial number of a range: issued, abandoned, leased");
  numbers->add_option("URL", options->url, url_help)->required();
  numbers->add_option("--from", options->from, "the first number")->required();
  numbers->add_option("--to", options->to, "the last number")->required();
  numbers->add_option("--counter", options->counter, "the counter (default \"default\")")->check(NotEmpty());
  numbers->add_flag("--json", options->json, "one JSON object per number");
  numbers->callback([options, &status] { status = RunNumbers(*options); });
}

}  // namespace quillon::cli
