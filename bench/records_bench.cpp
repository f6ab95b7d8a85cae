// A unit's row in the run records: BeginUnit (with a serial number drawn) and EndUnit, on a
// database file in the temporary folder, WAL journal, as the station writes them.

#include <benchmark/benchmark.h>

#include <filesystem>

#include "records/run_records.h"

namespace {

void BM_UnitRow(benchmark::State& state) {
  const auto path = std::filesystem::temp_directory_path() / "quillon-records-bench.db";
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + suffix);
  std::string error;
  auto records = quillon::records::RunRecords::Open(path.string(), error);
  if (!records) {
    state.SkipWithError(error.c_str());
    return;
  }
  quillon::records::SerialDraw draw;
  draw.text = [](std::uint64_t n) -> std::optional<std::string> { return std::to_string(n); };
  for (auto _ : state) {
    quillon::records::UnitRow row;
    row.station = "bench";
    row.port = "/dev/ttyUSB0";
    row.started_utc = quillon::records::UtcNow();
    row.update_file = "/srv/update.mot";
    row.image_sha256 = std::string(64, 'a');
    row.boot_sha256 = std::string(64, 'b');
    row.quillon_version = "bench";
    records->BeginUnit(row, &draw, error);
    row.ended_utc = quillon::records::UtcNow();
    row.result = 205;
    row.ok = 1;
    records->EndUnit(row, error);
  }
  records.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + suffix);
}
BENCHMARK(BM_UnitRow)->Unit(benchmark::kMillisecond);

}  // namespace
