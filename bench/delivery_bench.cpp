// The deliveries under load: a backlog of finished units drained to a local receiver.
//   delivery_bench backlog DB ROWS [DROP_FOLDER]
//     writes ROWS finished units queued for the upload (and the drop folder, when named), then
//     delivers them through the station's own link to a cpp-httplib receiver in this process
//     (keep-alive, as a factory's would be); prints one JSON line: rows, seconds, rows per
//     second, the distinct idempotency keys the receiver got and the requests it answered.

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "records/delivery.h"
#include "records/run_records.h"

namespace {

using namespace quillon;
using Clock = std::chrono::steady_clock;

int Backlog(const std::string& db, int rows, const std::string& drop) {
  std::string error;
  auto local = records::RunRecords::Open(db, error);
  std::vector<std::string> outputs{"upload"};
  if (!drop.empty()) outputs.push_back("drop-folder");
  if (!local || !local->UseOutputs(outputs, error)) {
    std::fprintf(stderr, "delivery_bench: %s: %s\n", db.c_str(), error.c_str());
    return 1;
  }
  const auto filling = Clock::now();
  for (int i = 0; i < rows; ++i) {
    records::UnitRow row;
    row.station = "bench";
    row.port = "/dev/ttyUSB" + std::to_string(i % 8);
    row.started_utc = records::UtcNow();
    row.update_file = "/bench/update.mot";
    row.image_sha256 = std::string(64, 'a');
    row.boot_sha256 = std::string(64, 'b');
    row.quillon_version = "bench";
    if (local->BeginUnit(row, nullptr, error) <= 0) return std::fprintf(stderr, "begin: %s\n", error.c_str()), 1;
    row.ended_utc = records::UtcNow();
    row.seconds = 3.2;
    row.result = 205;
    row.ok = 1;
    row.records = "W 2026/12/08 06:00:00 update finished";
    if (!local->EndUnit(row, error)) return std::fprintf(stderr, "end: %s\n", error.c_str()), 1;
  }

  const double fill_seconds = std::chrono::duration<double>(Clock::now() - filling).count();
  httplib::Server server;
  std::mutex mutex;
  std::set<std::string> keys;
  long requests = 0;
  server.Post("/units", [&](const httplib::Request& request, httplib::Response& response) {
    const std::lock_guard lock(mutex);
    keys.insert(request.get_header_value("Idempotency-Key"));
    ++requests;
    response.status = 201;
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });

  std::string warning;
  auto body = [](const records::UnitRow& row, const std::string& key) {
    return "{\"id\":" + std::to_string(row.id) + ",\"key\":\"" + key + "\",\"records\":\"" + row.records + "\"}";
  };
  std::vector<std::unique_ptr<records::DeliveryLink>> links;
  links.push_back(std::make_unique<records::DeliveryLink>(
      *local, records::MakeWebhook({"http://127.0.0.1:" + std::to_string(port) + "/units", {}, {}}, warning, error),
      "bench-uuid", body));
  if (!drop.empty()) {
    links.push_back(std::make_unique<records::DeliveryLink>(*local, records::MakeDropFolder(drop, "bench"), "bench-uuid", body));
  }
  const auto began = Clock::now();
  // Each output on a thread of its own, as the station runs them.
  std::vector<std::thread> threads;
  std::vector<double> seconds(links.size());
  for (std::size_t i = 0; i < links.size(); ++i) {
    threads.emplace_back([&, i] {
      while (links[i]->Step() || !links[i]->AllDelivered()) {
      }
      seconds[i] = std::chrono::duration<double>(Clock::now() - began).count();
    });
  }
  for (auto& thread : threads) thread.join();
  server.stop();
  serving.join();
  std::printf("{\"rows\":%d,\"fill_seconds\":%.1f,\"upload_seconds\":%.3f,\"upload_rows_per_second\":%.0f,\"distinct_keys\":%zu,"
              "\"requests\":%ld",
              rows, fill_seconds, seconds[0], rows / seconds[0], keys.size(), requests);
  if (!drop.empty()) std::printf(",\"drop_seconds\":%.3f,\"drop_rows_per_second\":%.0f", seconds[1], rows / seconds[1]);
  std::printf("}\n");
  return keys.size() == static_cast<std::size_t>(rows) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "backlog") return Backlog(argv[2], std::stoi(argv[3]), argc > 4 ? argv[4] : "");
  std::fprintf(stderr, "usage: delivery_bench backlog DB ROWS [DROP_FOLDER]\n");
  return 2;
}
