#pragma once
// The Send command: from the boot file and the update file on disk to a rewritten flash, in
// one synchronous run that ends with exactly one closing message.

#include <string>

#include "base/event_log.h"
#include "base/seams.h"
#include "serial/serial_port.h"
#include "settings/update_settings.h"

namespace quillon {

/// Where a run finds its boot file and its port. The desktop program takes the defaults;
/// the command line may name a boot file or a device directly.
struct UpdateTarget {
  std::string boot_path;    ///< empty: ProgramDir + InfoFile
  std::string port_device;  ///< empty: the device of COM port Com
  std::string port_label;   ///< how message 504 names the port; empty: "COM" + Com
};

class UpdateSequence {
 public:
  /// Everything is lent by the owner of the settings (the main window, or the command
  /// line) and must outlive the sequence; the port may still be open from a failed run.
  UpdateSequence(UpdateSettings& settings, SerialPort& port, Pause& pause, ProgressSink& progress,
                 UserPrompt& prompt, const EventLog& log)
      : settings_(settings), port_(port), pause_(pause), progress_(progress), prompt_(prompt), log_(log) {}

  /// Runs one update. Returns the id of the closing message shown: 205 on success, 500 to
  /// 506 on failure. The main window is disabled for the run and enabled again on every path.
  int OnSend(const UpdateTarget& target = {});

 private:
  int Run(const UpdateTarget& target);

  UpdateSettings& settings_;
  SerialPort& port_;
  Pause& pause_;
  ProgressSink& progress_;
  UserPrompt& prompt_;
  const EventLog& log_;
};

}  // namespace quillon
