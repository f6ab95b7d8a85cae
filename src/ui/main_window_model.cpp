#include "ui/main_window_model.h"

#include "base/messages.h"
#include <cstdlib>
#include <filesystem>

#include "base/program_paths.h"
#include "update/update_sequence.h"

namespace quillon {

namespace {
constexpr const char* kChooseFilePrompt = "ファイルを選択してください";
}

MainWindowModel::MainWindowModel(std::unique_ptr<CommDriver> driver, std::unique_ptr<Pause> pause)
    : driver_(std::move(driver)), pause_(std::move(pause)) {}

MainWindowModel::~MainWindowModel() = default;

std::string FileNameOf(const std::string& path) {
  const auto at = path.find_last_of("\\/:");
  return at == std::string::npos ? path : path.substr(at + 1);
}

void MainWindowModel::OnInitDialog(const std::string& executable_path) {
  const ProgramPaths paths = DeriveProgramPaths(executable_path);
  settings_.ProgramDir = paths.ProgramDir;
  settings_.BesideProgramDir = paths.BesideProgramDir;
  settings_.IniPath = paths.IniPath;
  settings_.StsPath = paths.StsPath;
  installed_ = paths.Installed;
  LoadSettings(settings_, *OpenProfileStore(Utf8Path(settings_.IniPath)));
  // The run's records are kept too, so that a failure's box can say what the log says.
  log_ = EventLog(Utf8Path(settings_.StsPath),
                  {.make_folder = installed_, .on_record = [this](const std::string& record) { records_.push_back(record); }});
  port_ = std::make_unique<SerialPort>(*driver_, log_);
  FillComList();
}

std::string MainWindowModel::FileNameText() const {
  return settings_.MotFile.empty() ? kChooseFilePrompt : FileNameOf(settings_.MotFile);
}

void MainWindowModel::FillComList() {
  com_list_.clear();
  com_selection_ = 0;
  std::vector<ComChoice> choices;
  if (lister_) {
    ComPlan plan = PlanComList(settings_.Ports, lister_(settings_.Ports), settings_.MaxCom);
    for (const auto& [com, name] : plan.added) settings_.Ports[com] = added_ports_[com] = name;
    choices = std::move(plan.entries);
  }
  for (int n = 1; n <= settings_.MaxCom; ++n) {
    std::string text = ComLabel(n);
    if (static_cast<std::size_t>(n) <= choices.size()) {
      const ComChoice& choice = choices[static_cast<std::size_t>(n) - 1];
      // With the system's port list, a number whose port is not there is left out (the chosen
      // one stays, so that the settings keep it); one [Ports] maps to a file that exists (a
      // pseudo-terminal's link) is there.
      std::error_code error;
      const bool there = choice.found || (settings_.Ports.count(n) > 0 && std::filesystem::exists(Utf8Path(choice.device), error));
      if (!there && n != settings_.Com) continue;
      text += "  " + choice.device;
      if (!choice.description.empty()) text += "  " + choice.description;
    }
    if (n == settings_.Com) com_selection_ = static_cast<int>(com_list_.size());
    com_list_.push_back({std::move(text), n});
  }
  // A list of one entry stays disabled, but its port is still the one Send opens: leaving
  // Com at -1 would make the only port unreachable and store 4294967295 on Close.
  if (!com_list_.empty()) settings_.Com = com_list_[static_cast<std::size_t>(com_selection_)].item_data;
}

void MainWindowModel::OnComSelChange(int index) {
  if (index < 0 || index >= static_cast<int>(com_list_.size())) return;
  com_selection_ = index;
  settings_.Com = com_list_[static_cast<std::size_t>(index)].item_data;
}

BrowseRequest MainWindowModel::BrowseStart() const {
  BrowseRequest request;
  request.filter = std::string(MessageText(kMsgBrowseFilter));
  request.title = std::string(MessageText(kMsgBrowseTitle));
  request.file_name = settings_.MotFile;
  if (settings_.MotFile.empty()) {
    // An installed copy's folder is the settings folder: the person's files are at home.
    const char* home = installed_ ? std::getenv("HOME") : nullptr;
    request.start_directory = home != nullptr ? std::string(home) : settings_.ProgramDir;
  }
  return request;
}

void MainWindowModel::OnBrowseResult(const std::optional<std::string>& chosen) {
  if (chosen && !chosen->empty()) settings_.MotFile = *chosen;
}

int MainWindowModel::OnSend(ProgressSink& progress, UserPrompt& prompt) {
  records_.clear();
  findings_.clear();
  UpdateSequence sequence(settings_, *port_, *pause_, progress, prompt, log_);
  if (checker_) {
    sequence.CheckPortFirst([this](const std::string& device) {
      findings_ = checker_(device);
      return NothingBlocks(findings_);
    });
  }
  running_ = &sequence;
  const int id = sequence.OnSend();
  running_ = nullptr;
  stop_ = sequence.stop_point();
  return id;
}

std::string MainWindowModel::FailureDetail(int id, Language language) const {
  report::FailureFacts facts;
  const std::string device = PortDeviceName(settings_.Com, settings_.Ports);
  facts.fix = {BootFilePath(settings_), settings_.MotFile, ComLabel(settings_.Com) + " (" + device + ")",
               settings_.StsPath, settings_.Baudrate};
  facts.stop = running_ != nullptr ? running_->stop_point() : stop_;
  facts.records = records_;
  facts.findings = findings_;
  return report::FailureDetail(id, facts, language);
}

void MainWindowModel::OnClose() {
  if (installed_) {
    std::error_code error;
    std::filesystem::create_directories(Utf8Path(settings_.IniPath).parent_path(), error);
  }
  auto store = OpenProfileStore(Utf8Path(settings_.IniPath));
  SaveSettings(settings_, *store);
  SavePorts(added_ports_, *store);
}

}  // namespace quillon
