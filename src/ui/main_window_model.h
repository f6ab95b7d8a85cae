#pragma once
// Everything the main window does that is not drawing: the program's paths and settings,
// the text of the file-name field, the COM list, Browse, Send and Close. Both desktop
// programs (Qt and Win32) put their views over this one model.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/seams.h"
#include "report/fixes.h"
#include "serial/comm_driver.h"
#include "serial/port_checks.h"
#include "serial/port_list.h"
#include "serial/serial_port.h"
#include "settings/update_settings.h"
#include "update/update_sequence.h"

namespace quillon {

struct ComEntry {
  std::string text;  ///< "COM%d"; with a port list, also the device and the adapter
  int item_data;     ///< the port number
};

/// The ports the system has, given the settings' [Ports] map (ListSerialPorts).
using PortLister =
    std::function<std::vector<SerialPortInfo>(const std::map<int, std::string>& ports)>;

/// The system's checks of a port before it is opened (CheckPort).
using PortChecker = std::function<std::vector<PortFinding>(const std::string& device)>;

/// What the file-open dialog of Browse is given.
struct BrowseRequest {
  std::string filter;            ///< message 200: "display|pattern||"
  std::string title;             ///< message 201
  std::string start_directory;   ///< ProgramDir when no update file is chosen, else empty
  std::string file_name;         ///< the chosen update file's full path, or empty
};

class MainWindowModel {
 public:
  /// The driver and the pause are the platform's (tests pass fakes).
  MainWindowModel(std::unique_ptr<CommDriver> driver, std::unique_ptr<Pause> pause);
  ~MainWindowModel();

  /// Derives the paths from the program's own full path, reads the settings and fills the
  /// COM list.
  void OnInitDialog(const std::string& executable_path);
  /// Before OnInitDialog, on a system whose COM numbers are only names (Linux): the COM list
  /// shows the device and adapter behind each number, and gives USB adapters that no number
  /// reaches a free one, kept in [Ports] from Close on.
  void ListPortsWith(PortLister lister) { lister_ = std::move(lister); }
  /// Before message 202, Send checks the port with `checker`: a port that cannot be used ends
  /// the run with message 504 at once, and the box can say why.
  void CheckPortsWith(PortChecker checker) { checker_ = std::move(checker); }
  /// The [Ports] entries this window added (written on Close).
  const std::map<int, std::string>& AddedPorts() const { return added_ports_; }

  /// The text of the file-name field: the chosen file's name and extension, or the prompt.
  std::string FileNameText() const;

  void FillComList();
  const std::vector<ComEntry>& ComList() const { return com_list_; }
  int ComSelection() const { return com_selection_; }
  bool ComListEnabled() const { return com_list_.size() > 1; }
  void OnComSelChange(int index);

  BrowseRequest BrowseStart() const;
  /// The file the person confirmed; nothing when they cancelled (then nothing changes).
  void OnBrowseResult(const std::optional<std::string>& chosen);

  /// Runs the update sequence; returns the id of its closing message.
  int OnSend(ProgressSink& progress, UserPrompt& prompt);
  /// What a box can say below failure `id` of the run under way or the last one: why, what to
  /// do next and where the log is, in `language`; empty for any other message.
  std::string FailureDetail(int id, Language language) const;
  /// Writes the settings back: the only place they are written.
  void OnClose();

  const UpdateSettings& settings() const { return settings_; }

 private:
  UpdateSettings settings_;
  std::vector<ComEntry> com_list_;
  int com_selection_ = -1;
  bool installed_ = false;
  PortLister lister_;
  std::map<int, std::string> added_ports_;
  std::unique_ptr<CommDriver> driver_;
  std::unique_ptr<Pause> pause_;
  EventLog log_;
  std::unique_ptr<SerialPort> port_;
  PortChecker checker_;
  // What the run under way (or the last one) found and wrote, for FailureDetail.
  const UpdateSequence* running_ = nullptr;
  StopPoint stop_;
  std::vector<PortFinding> findings_;
  std::vector<std::string> records_;
};

/// File name and extension of a path, without its folders ("C:\a\b.mot", "/a/b.mot" -> "b.mot").
std::string FileNameOf(const std::string& path);

}  // namespace quillon
