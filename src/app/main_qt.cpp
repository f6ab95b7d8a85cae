// quillon: the desktop program. Its command line holds only --version and --help (answered
// before any window, so that they work without a display); its settings and log sit beside it.

#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstring>

#include "app/single_instance.h"
#include "base/messages.h"
#include "base/program_paths.h"
#include "base/seams.h"
#include "base/system.h"
#include "base/version.h"
#include "serial/comm_driver.h"
#include "serial/port_checks.h"
#include "serial/port_list.h"
#include "ui/main_window_model.h"
#include "ui/qt/qt_views.h"

int main(int argc, char** argv) {
  // A port opened later must never take the number of a closed standard stream.
  quillon::EnsureStandardStreams();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quillon %s\n", quillon::kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "Usage: quillon [--version] [--help]\n"
          "The desktop program of Quillon: rewrites the flash of an H8S device over a serial port.\n"
          "Choose the update file with Browse and the COM port from the list, then press Send.\n"
          "The settings (quillon.ini) and the failure log (quillon.sts) are kept beside the program,\n"
          "or, for an installed copy, in the user's configuration and state folders.\n"
          "quillon-cli runs the same update from a terminal or a script.\n");
      return 0;
    }
  }
  QApplication application(argc, argv);
  const std::string executable = quillon::ExecutablePath();
  // The application's title, on every message box, is the executable's base name.
  const QString base_name = QFileInfo(QString::fromStdString(executable)).completeBaseName();
  QApplication::setApplicationName(base_name);
  QApplication::setWindowIcon(quillon::qt::ProgramIcon());
  // Qt's own texts (the file dialog's buttons and labels) in the system's language; the
  // program's own in English unless the reader's locale is Japanese.
  const auto qt_texts = quillon::qt::InstallQtTranslations(QLocale::system());
  const auto program_texts = quillon::qt::InstallProgramTranslations(quillon::IsJapaneseLocale(quillon::UserLocaleName()));

  quillon::app::SingleInstance instance(base_name);
  if (!instance.Acquire()) {
    // Another copy runs: bring it forward and end without a window of our own.
    instance.AskFirstToShow();
    return 0;
  }

  quillon::MainWindowModel model(quillon::MakePlatformCommDriver(), std::make_unique<quillon::ThreadPause>());
  model.ListPortsWith(
      [](const std::map<int, std::string>& ports) { return quillon::ListSerialPorts(ports); });
  model.CheckPortsWith([](const std::string& device) { return quillon::CheckPort(device, {"/", false}); });
  model.OnInitDialog(executable);
  quillon::qt::MainWindow window(model);
  instance.OnShowRequest([&window] {
    std::fprintf(stderr, "quillon: a second start brought this window to the front\n");
    window.BringToFront();
  });
  window.exec();
  return 0;
}
