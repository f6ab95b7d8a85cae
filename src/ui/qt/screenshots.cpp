// Renders the main window, the progress window and the About box to PNG files:
// quillon-screenshots FOLDER   (run with QT_QPA_PLATFORM=offscreen)

#include <QApplication>
#include <QDir>

#include "base/seams.h"
#include "serial/comm_driver.h"
#include "ui/main_window_model.h"
#include "ui/qt/qt_views.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  QDir().mkpath(folder);
  quillon::MainWindowModel model(quillon::MakePlatformCommDriver(), std::make_unique<quillon::ThreadPause>());
  model.OnInitDialog((QDir::tempPath() + "/quillon-screenshots/quillon").toStdString());
  quillon::qt::MainWindow window(model);
  window.show();
  window.grab().save(folder + "/main-window.png");
  quillon::qt::ProgressWindow progress(&window);
  progress.SetTextAndRange(quillon::qt::ToQString("バージョンアップデータを転送中です。"), 10);
  for (int i = 0; i < 6; ++i) progress.StepAndPump();
  progress.show();
  progress.grab().save(folder + "/progress-window.png");
  quillon::qt::AboutBox about(&window);
  about.show();
  about.grab().save(folder + "/about-box.png");
  quillon::qt::ProgramIcon().pixmap(128, 128).save(folder + "/quillon.png");
  return 0;
}
