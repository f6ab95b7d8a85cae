#include "update/update_sequence.h"


#include "base/messages.h"
#include "base/program_paths.h"
#include "image/srecord.h"
#include "protocol/device_protocol.h"

namespace quillon {

const char* PhaseName(RunPhase phase) {
  switch (phase) {
    case RunPhase::kOpen: return "open";
    case RunPhase::kBoot: return "boot";
    case RunPhase::kHandshake: return "handshake";
    case RunPhase::kTransfer: return "transfer";
    case RunPhase::kClosing: return "closing";
    default: return nullptr;
  }
}

int UpdateSequence::OnSend(const UpdateTarget& target) {
  prompt_.EnableMainWindow(false);
  // Enabled again on every way out, an exception included: a main window left disabled
  // can only be killed.
  struct Reenable {
    UserPrompt& prompt;
    ~Reenable() { prompt.EnableMainWindow(true); }
  } reenable{prompt_};
  return Run(target);
}

int UpdateSequence::Run(const UpdateTarget& target) {
  // Both images live for this run only.
  UpdateFiles files;
  stop_ = {};
  if (const int failed = LoadUpdateFiles(settings_, target.boot_path, prompt_, log_, files); failed != 0) return failed;
  return RunLoaded(files, target);
}

int LoadUpdateFiles(const UpdateSettings& settings, const std::string& target_boot_path, UserPrompt& prompt,
                    const EventLog& log, UpdateFiles& files) {
  SRecordReader reader;
  auto show = [&prompt](int id) {
    prompt.ShowMessage(id, MessageText(id));
    return id;
  };

  const std::string boot_path = target_boot_path.empty() ? BootFilePath(settings) : target_boot_path;
  const int boot_result = reader.LoadBootImage(Utf8Path(boot_path), *files.boot);
  if (!files.boot->Bytes || boot_result < 1) {
    // The box comes first; the record is written once the user has dismissed it.
    if (boot_result == -1) {
      show(kMsgNoBootFile);
      LogFailure(log, "NO BOOT FILE :" + boot_path);
      return kMsgNoBootFile;
    }
    show(kMsgBootFileBad);
    LogFailure(log, "BOOT FILE DATA ERROR :" + boot_path);
    return kMsgBootFileBad;
  }

  const int flash_result = reader.LoadFlashImage(*files.image, Utf8Path(settings.MotFile));
  // A file that puts no byte into the flash (empty, only S0/S9, or all of it beyond the
  // flash) would end in "update finished" with nothing written: it is a bad file.
  if (flash_result < 0 || TotalUsedLength(*files.image) == 0) {
    if (flash_result == -1) {
      show(kMsgNoDataFile);
      LogFailure(log, "NO DATA FILE :" + settings.MotFile);
      return kMsgNoDataFile;
    }
    show(kMsgDataFileBad);
    LogFailure(log, "DATA FILE DATA ERROR :" + settings.MotFile);
    return kMsgDataFileBad;
  }
  return 0;
}

std::string PortLabel(const UpdateSettings& settings, const UpdateTarget& target) {
  return target.port_label.empty() ? ComLabel(settings.Com) : target.port_label;
}

int UpdateSequence::RunLoaded(const UpdateFiles& files, const UpdateTarget& target, bool ask_restart) {
  const std::string device = target.port_device.empty() ? PortDeviceName(settings_.Com, settings_.Ports) : target.port_device;
  if (port_usable_ && !port_.IsOpen() && !port_usable_(device)) {
    stop_ = {RunPhase::kOpen};
    LogOpenError(log_, device);
    prompt_.ShowMessage(kMsgPortOpenFailed, PortOpenFailedText(PortLabel(settings_, target)));
    return kMsgPortOpenFailed;
  }
  stop_ = {RunPhase::kRestart};
  if (ask_restart) prompt_.ShowMessage(kMsgRestartInBootMode, MessageText(kMsgRestartInBootMode));

  // From the open port to the end of the run every wait must last what it says.
  const FineTimerScope fine_timer;
  stop_.phase = RunPhase::kOpen;
  if (!port_.OpenPort(device)) {
    prompt_.ShowMessage(kMsgPortOpenFailed, PortOpenFailedText(PortLabel(settings_, target)));
    return kMsgPortOpenFailed;
  }
  return RunOpen(files, false);
}

int UpdateSequence::RunAnswered(const UpdateFiles& files, const FlashImage* image) {
  const FineTimerScope fine_timer;
  return RunOpen(files, true, image);
}

int UpdateSequence::RunOpen(const UpdateFiles& files, bool answered, const FlashImage* image) {
  auto show = [this](int id) {
    prompt_.ShowMessage(id, MessageText(id));
    return id;
  };
  DeviceProtocol protocol(port_, pause_, progress_, log_);
  // From here the record comes first and the box after it.
  stop_.phase = RunPhase::kBoot;
  if (!(answered ? protocol.SendBootProgram(files.boot->Data()) : protocol.SendBoot(files.boot->Data()))) {
    LogFailure(log_, "SEND BOOT ERROR");
    return show(kMsgBootSendFailed);
  }
  stop_.phase = RunPhase::kHandshake;
  if (!protocol.SwitchBitRate(settings_.Baudrate)) {
    LogFailure(log_, "SEND TRANSMIT ERROR");
    return show(kMsgDataSendFailed);
  }
  stop_.phase = RunPhase::kTransfer;
  if (!protocol.SendFlashImage(image != nullptr ? *image : *files.image, settings_.SendWait)) {
    const TransferPosition& at = protocol.position();
    stop_ = {at.closing ? RunPhase::kClosing : RunPhase::kTransfer, at.closing ? -1 : at.block,
             at.closing ? 0 : at.chunk};
    LogFailure(log_, "SEND DATA RECORD ERROR");
    return show(kMsgDataSendFailed);
  }

  stop_ = {RunPhase::kDone};
  show(kMsgUpdateFinished);
  // The port stays open while the success box is up.
  port_.ClosePort();
  return kMsgUpdateFinished;
}

}  // namespace quillon
