#pragma once
// One port's whole update on a thread of its own: its driver (stoppable, traced on request),
// its SerialPort, pause, log, and what it shows.

#include <functional>
#include <string>

#include "base/seams.h"
#include "cli/run_report.h"
#include "settings/update_settings.h"
#include "update/update_sequence.h"

namespace quillon::cli {

struct PortJob {
  std::string name;        ///< how output and results name the port
  UpdateTarget target;     ///< the device to open and how message 504 names it
  int com = 0;             ///< the COM number when the port was named COMn (then target is empty)
  std::string log_path;    ///< the log for this port's records (absolute)
  std::string trace_path;  ///< the trace file, or empty
  bool make_log_folder = false;  ///< the log's folder is made when missing (an installed copy)
};

/// Short English advice for a failure message, for the human output of one port.
using HintFor = std::function<std::string(int id, const PortJob& job, const UpdateSettings& settings)>;

/// Runs the update on one port from message 202 on (202 already shown). With `report` the
/// run's messages and progress go there; without it (one port, human output) they go to the
/// terminal as they always have. A run that `stop` ends gets the record "INTERRUPTED" and no
/// other record for the stop.
PortResult RunPort(const PortJob& job, UpdateSettings settings, const UpdateFiles& files, const StopFlag& stop,
                   RunReport* report, const HintFor& hint);

/// The log or trace file of one of several ports: beside `path`, named
/// "<stem of path>-<last component of device>.<extension of path>", with characters outside
/// [A-Za-z0-9._-] of the device's part as "_".
std::string PerPortFile(const std::string& path, const std::string& device);

}  // namespace quillon::cli
