// quillon: the desktop program. It reads no command line and no environment variable of
// its own; its settings and log sit beside it.

#include <QApplication>
#include <QFileInfo>
#include <cstdio>

#include "app/single_instance.h"
#include "base/program_paths.h"
#include "base/seams.h"
#include "serial/comm_driver.h"
#include "ui/main_window_model.h"
#include "ui/qt/qt_views.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const std::string executable = quillon::ExecutablePath();
  // The application's title, on every message box, is the executable's base name.
  const QString base_name = QFileInfo(QString::fromStdString(executable)).completeBaseName();
  QApplication::setApplicationName(base_name);
  QApplication::setWindowIcon(quillon::qt::ProgramIcon());
  // Qt's own texts (the file dialog's buttons and labels) in the system's language.
  const auto qt_texts = quillon::qt::InstallQtTranslations(QLocale::system());

  quillon::app::SingleInstance instance(base_name);
  if (!instance.Acquire()) {
    // Another copy runs: bring it forward and end without a window of our own.
    instance.AskFirstToShow();
    return 0;
  }

  quillon::MainWindowModel model(quillon::MakePlatformCommDriver(), std::make_unique<quillon::ThreadPause>());
  model.OnInitDialog(executable);
  quillon::qt::MainWindow window(model);
  instance.OnShowRequest([&window] {
    std::fprintf(stderr, "quillon: a second start brought this window to the front\n");
    window.BringToFront();
  });
  window.exec();
  return 0;
}
