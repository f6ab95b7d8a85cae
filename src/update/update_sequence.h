#pragma once
// The Send command: from the boot file and the update file on disk to a rewritten flash, in
// one synchronous run that ends with exactly one closing message.

#include <functional>
#include <memory>
#include <string>

#include "base/event_log.h"
#include "image/flash_image.h"
#include "image/srecord.h"
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

/// How message 504 names the port of `target` under `settings`.
std::string PortLabel(const UpdateSettings& settings, const UpdateTarget& target);

/// The two files of an update, loaded once; several ports may share them, read only.
struct UpdateFiles {
  std::unique_ptr<BootImage> boot = std::make_unique<BootImage>();
  std::unique_ptr<FlashImage> image = std::make_unique<FlashImage>();
};

/// Where a run stopped: the step under way when it ended, and in the transfer the block
/// (0-11) and the chunk of it (0-based) the device had not confirmed yet.
enum class RunPhase { kLoad, kRestart, kOpen, kBoot, kHandshake, kTransfer, kClosing, kDone };
struct StopPoint {
  RunPhase phase = RunPhase::kLoad;
  int block = -1;
  int chunk = 0;
};

/// The name a stop point's phase has ("open", "boot", "handshake", "transfer", "closing"), or
/// null for a run that did not stop inside one of them.
const char* PhaseName(RunPhase phase);

/// The first half of a run, which needs no port: loads the boot file (`boot_path`, or
/// ProgramDir + InfoFile) and the update file. On failure shows the message, writes the
/// record and returns its id; returns 0 when both are loaded. Several ports share one load.
int LoadUpdateFiles(const UpdateSettings& settings, const std::string& boot_path, UserPrompt& prompt,
                    const EventLog& log, UpdateFiles& files);

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

  /// The second half of a run (the first is LoadUpdateFiles): message 202 (unless `ask_restart` is false, for a caller that asked
  /// once for several ports), the port, the boot program, the bit rate and the flash.
  /// Returns the id of the closing message shown.
  int RunLoaded(const UpdateFiles& files, const UpdateTarget& target, bool ask_restart = true);

  /// A run on a port that is already open and whose chip has just answered the boot-mode
  /// start bytes (a station's fixture): the boot program, the bit rate and the flash, with
  /// `image` (a unit's own stamped copy) in place of the update file's when given.
  int RunAnswered(const UpdateFiles& files, const FlashImage* image = nullptr);

  const StopPoint& stop_point() const { return stop_; }

  /// Before message 202, asks `usable` whether the port the run will open can be used: when
  /// not, the run writes the record of a failed open and ends with message 504 at once, and
  /// nobody restarts a device into boot mode for a run that cannot start.
  void CheckPortFirst(std::function<bool(const std::string& device)> usable) { port_usable_ = std::move(usable); }

 private:
  int Run(const UpdateTarget& target);
  int RunOpen(const UpdateFiles& files, bool answered, const FlashImage* image = nullptr);

  UpdateSettings& settings_;
  SerialPort& port_;
  Pause& pause_;
  ProgressSink& progress_;
  UserPrompt& prompt_;
  const EventLog& log_;
  StopPoint stop_;
  std::function<bool(const std::string& device)> port_usable_;
};

}  // namespace quillon
