#pragma once
// One port's whole update on a thread of its own: its driver (stoppable, counted, traced on
// request), its SerialPort, pause, log and trace, and what it does as events.

#include <functional>
#include <memory>
#include <optional>
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
  std::string adapter;     ///< the adapter behind the port (USB serial number or by-path name), when known
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

/// A unit that a board's answer begins: its record id, its serial number and its own stamped
/// copy of the image (null: the update file's image as it is).
struct UnitStart {
  bool started = false;  ///< false: no unit may begin (the count is reached, the numbers ran out)
  bool wait = false;     ///< not now: no number to give until the record server is back
  long long id = 0;
  std::optional<std::string> serial_number;
  std::vector<std::pair<std::string, std::string>> values;  ///< (pool, value) stamped into it
  std::unique_ptr<FlashImage> image;
};

/// What the fixtures of a station share: whether to go on, and the units' beginnings and ends
/// (records, serial numbers, the count). Called from every port's thread.
class BoardLoop {
 public:
  virtual ~BoardLoop() = default;
  virtual bool KeepGoing() const = 0;
  /// Once `job`'s board answered: waits for its label to be scanned when the station scans
  /// labels (`code`: the code, which passed the station's checks). False when the loop is to
  /// end first.
  virtual bool AwaitScan(const PortJob& job, const StopFlag& stop, std::optional<std::string>& code) {
    (void)job, (void)stop, (void)code;
    return true;
  }
  /// `scanned`: the board's label, when the station scans them.
  virtual UnitStart BeginUnit(const PortJob& job, const std::optional<std::string>& scanned) = 0;
  /// `records` are the unit's log records, newline-separated. False, with `why`, when the
  /// unit's row could not be written yet: it is kept, and WriteKept tries it again.
  virtual bool EndUnit(const PortResult& result, const std::string& records, std::string& why) = 0;
  /// Tries again to write the row `job`'s port could not write; true once nothing of the
  /// port's is left unwritten.
  virtual bool WriteKept(const PortJob&) { return true; }
  /// Where the rows go, as a warning names it.
  virtual std::string RecordsName() const { return {}; }

  int probe_wait_ms = 500;     ///< how long a probe of a quiet line waits for the chip's answer
  int probe_period_ms = 1000;  ///< probes begin at most this often; also how often a kept row is tried
};

/// A fixture: board after board on one port until `loop` says to end or `stop` is requested.
/// While it waits for a board it writes no record and publishes no message; each unit runs as
/// RunPort runs from the chip's answer on, and ends with its ResultEvent.
PortCounts RunBoards(const PortJob& job, UpdateSettings settings, const UpdateFiles& files, BoardLoop& loop,
                     const StopFlag& stop, EventStream& events, const PortPartsMaker& make_parts = PlatformPortParts);

/// The log or trace file of one of several ports: beside `path`, named
/// "<stem of path>-<last component of device>.<extension of path>", with characters outside
/// [A-Za-z0-9._-] of the device's part as "_".
std::string PerPortFile(const std::string& path, const std::string& device);

}  // namespace quillon::station
