#include "station/station.h"

#include <chrono>
#include <future>

namespace quillon::station {

std::vector<PortResult> RunPorts(const std::vector<PortJob>& jobs, const UpdateSettings& settings,
                                 const UpdateFiles& files, const StopFlag& stop, EventStream& events,
                                 const std::function<void()>& while_running, const PortPartsMaker& make_parts) {
  std::vector<std::future<PortResult>> running;
  for (const auto& job : jobs) {
    running.push_back(std::async(std::launch::async, [&, job_ptr = &job] {
      PortResult result = RunPort(*job_ptr, settings, files, stop, events, make_parts);
      events.Publish(ResultEvent{result});
      return result;
    }));
  }
  std::vector<PortResult> results;
  for (auto& run : running) {
    while (run.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
      if (while_running) while_running();
    }
    results.push_back(run.get());
  }
  return results;
}

}  // namespace quillon::station
