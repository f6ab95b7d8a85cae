#pragma once
// One port's whole update on a thread of its own: its driver (stoppable, counted, traced on
// request), its SerialPort, pause, log and trace, and what it does as events.

#include <functional>
#include <memory>
#include <string>

#include "base/seams.h"
#include "serial/comm_driver.h"
#include "settings/update_settings.h"
#include "station/events.h"
#include "update/update_sequence.h"

namespace quillon::station {

struct PortJob {
  std::string name;        ///< how events and results name the port
  UpdateTarget target;     ///< the device to open and how message 504 names it
  int com = 0;             ///< the COM number when the port was named COMn (then target is empty)
  std::string log_path;    ///< the log for this port's records (absolute)
  std::string trace_path;  ///< the trace file, or empty
  bool make_log_folder = false;  ///< the log's folder is made when missing (an installed copy)
};

/// Where one port's run meets the platform: its serial driver and its clock.
struct PortParts {
  std::unique_ptr<CommDriver> driver;
  std::unique_ptr<Pause> pause;
};
/// Makes the parts of each port's run (called on the port's thread); tests give fakes.
using PortPartsMaker = std::function<PortParts(const StopFlag& stop)>;
/// The platform's serial driver, and pauses that a stop cuts short.
PortParts PlatformPortParts(const StopFlag& stop);

/// Runs the update on one port from message 202 on (202 already shown), publishing its
/// messages, progress and warnings. A run that `stop` ends gets the record "INTERRUPTED"
/// and no other record or message for the stop.
PortResult RunPort(const PortJob& job, UpdateSettings settings, const UpdateFiles& files, const StopFlag& stop,
                   EventStream& events, const PortPartsMaker& make_parts = PlatformPortParts);

/// The log or trace file of one of several ports: beside `path`, named
/// "<stem of path>-<last component of device>.<extension of path>", with characters outside
/// [A-Za-z0-9._-] of the device's part as "_".
std::string PerPortFile(const std::string& path, const std::string& device);

}  // namespace quillon::station
