#pragma once
// Several ports side by side: one thread per port, each with its own driver, port, pause, log
// and trace; one stop for all of them.

#include <functional>
#include <vector>

#include "station/events.h"
#include "station/port_run.h"

namespace quillon::station {

/// Runs every job at once, from message 202 on, and returns their results in the order of
/// the jobs; each result is also published as it comes. `while_running` is called on the
/// calling thread about ten times a second until every port has ended (a live display redraws
/// there).
std::vector<PortResult> RunPorts(const std::vector<PortJob>& jobs, const UpdateSettings& settings,
                                 const UpdateFiles& files, const StopFlag& stop, EventStream& events,
                                 const std::function<void()>& while_running = {},
                                 const PortPartsMaker& make_parts = PlatformPortParts);

}  // namespace quillon::station
