// The fleet's code under load, one station process per call (bench/fleet runs many at once):
//   fleet_bench worker URL DB PORTS UNITS [--no-numbers]
//     PORTS threads begin and end UNITS units in all through the station's records, drawing
//     serial numbers from leases of the fleet (unless --no-numbers), while the delivery thread
//     sends the outbox; prints one JSON line: units, seconds, the time each unit's end waited
//     for its row to be written (p50, p99 in microseconds), the draws that found no number.
//   fleet_bench fill DB ROWS      ROWS finished rows queued in the outbox, with no server.
//   fleet_bench drain URL DB      sends the outbox until it is empty; prints the seconds.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/system.h"
#include "records/fleet_link.h"
#include "records/run_records.h"
#include "station/delivery.h"
#include "station/station.h"

namespace {

using namespace quillon;
using Clock = std::chrono::steady_clock;

records::UnitRow Row(const std::string& port) {
  records::UnitRow row;
  row.station = "bench";
  row.port = port;
  row.started_utc = records::UtcNow();
  row.update_file = "/bench/update.mot";
  row.image_sha256 = std::string(64, 'a');
  row.boot_sha256 = std::string(64, 'b');
  row.quillon_version = "bench";
  return row;
}

void End(records::UnitRow& row) {
  row.ended_utc = records::UtcNow();
  row.seconds = 1.0;
  row.result = 205;
  row.ok = 1;
  row.records = "bench";
}

std::unique_ptr<records::RunRecords> OpenLocal(const std::string& db) {
  std::string error;
  auto local = records::RunRecords::Open(db, error);
  if (!local || !local->UseLeases(ProcessId(), error)) {
    std::fprintf(stderr, "fleet_bench: %s: %s\n", db.c_str(), error.c_str());
    std::exit(1);
  }
  return local;
}

records::FleetConnector Connector(const std::string& url) {
  return [url](std::string& error) { return records::FleetServer::Connect(url, error); };
}

int Worker(const std::string& url, const std::string& db, int ports, int units, bool numbers) {
  auto local = OpenLocal(db);
  std::string error;
  const auto identity = records::LoadIdentity(db, "bench-" + std::to_string(ProcessId()), error);
  records::FleetLink link(*local, *identity, {"bench", 1, 20, numbers, {}}, Connector(url));
  station::EventStream events;
  station::Deliveries delivery(&link, url, {}, events);
  std::atomic<int> next{0};
  std::atomic<long> no_number{0};
  std::vector<std::vector<double>> waits(static_cast<std::size_t>(ports));
  const auto began = Clock::now();
  std::vector<std::jthread> threads;
  for (int p = 0; p < ports; ++p) {
    threads.emplace_back([&, p] {
      records::SerialDraw draw;
      draw.counter = "bench";
      draw.text = [](std::uint64_t n) { return std::optional<std::string>(std::to_string(n)); };
      while (next.fetch_add(1) < units) {
        records::UnitRow row = Row("port-" + std::to_string(p));
        std::string why;
        std::int64_t id = 0;
        while ((id = local->BeginUnit(row, numbers ? &draw : nullptr, why)) == records::kNoNumberLeft) {
          ++no_number;
          delivery.Poke();
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (id <= 0) {
          std::fprintf(stderr, "fleet_bench: begin: %s\n", why.c_str());
          std::exit(1);
        }
        delivery.Poke();
        End(row);
        const auto end_began = Clock::now();
        if (!local->EndUnit(row, why)) {
          std::fprintf(stderr, "fleet_bench: end: %s\n", why.c_str());
          std::exit(1);
        }
        waits[static_cast<std::size_t>(p)].push_back(std::chrono::duration<double, std::micro>(Clock::now() - end_began).count());
        delivery.Poke();
      }
    });
  }
  threads.clear();
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  delivery.Finish(60000);
  std::vector<double> all;
  for (const auto& w : waits) all.insert(all.end(), w.begin(), w.end());
  std::sort(all.begin(), all.end());
  const auto at = [&all](double q) { return all.empty() ? 0.0 : all[static_cast<std::size_t>(q * (all.size() - 1))]; };
  std::printf("{\"units\":%zu,\"seconds\":%.3f,\"end_wait_p50_us\":%.0f,\"end_wait_p99_us\":%.0f,\"no_number\":%ld,"
              "\"left_waiting\":%d}\n",
              all.size(), seconds, at(0.5), at(0.99), no_number.load(), link.State().rows_waiting);
  return 0;
}

int Fill(const std::string& db, int rows) {
  auto local = OpenLocal(db);
  for (int i = 0; i < rows; ++i) {
    records::UnitRow row = Row("port-0");
    std::string error;
    if (local->BeginUnit(row, nullptr, error) <= 0 || (End(row), !local->EndUnit(row, error))) {
      std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}

int Drain(const std::string& url, const std::string& db) {
  auto local = OpenLocal(db);
  std::string error;
  const auto identity = records::LoadIdentity(db, "bench-backlog", error);
  records::FleetLink link(*local, *identity, {"bench", 1, 20, false, {}}, Connector(url));
  const auto began = Clock::now();
  while (link.Step() || link.State().rows_waiting > 0) {
    if (!link.State().connected) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("%.3f\n", std::chrono::duration<double>(Clock::now() - began).count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 5 && args[0] == "worker") {
    return Worker(args[1], args[2], std::stoi(args[3]), std::stoi(args[4]), !(args.size() > 5 && args[5] == "--no-numbers"));
  }
  if (args.size() == 3 && args[0] == "fill") return Fill(args[1], std::stoi(args[2]));
  if (args.size() == 3 && args[0] == "drain") return Drain(args[1], args[2]);
  std::fprintf(stderr, "usage: fleet_bench worker URL DB PORTS UNITS [--no-numbers] | fill DB ROWS | drain URL DB\n");
  return 2;
}
