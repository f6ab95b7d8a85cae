// Renders the main window, the progress window and the About box to PNG files:
// quillon-screenshots FOLDER   (run with QT_QPA_PLATFORM=offscreen)

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>

#include "base/seams.h"
#include "serial/comm_driver.h"
#include "ui/main_window_model.h"
#include "ui/qt/qt_views.h"

namespace {

// An .ico of PNG images (16 to 256 px) for the Windows program's icon resource.
void SaveIco(const QString& path) {
  const int sizes[] = {16, 32, 48, 256};
  QList<QByteArray> images;
  for (int size : sizes) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    quillon::qt::ProgramIcon().pixmap(size, size).toImage().save(&buffer, "PNG");
    images << png;
  }
  QByteArray ico;
  auto u16 = [&](int v) { ico.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
  auto u32 = [&](qint64 v) { u16(int(v & 0xFFFF)); u16(int((v >> 16) & 0xFFFF)); };
  u16(0);
  u16(1);
  u16(int(images.size()));
  qint64 offset = 6 + 16 * images.size();
  for (qsizetype i = 0; i < images.size(); ++i) {
    const int size = sizes[i];
    ico.append(char(size == 256 ? 0 : size)).append(char(size == 256 ? 0 : size)).append('\0').append('\0');
    u16(1);
    u16(32);
    u32(images[i].size());
    u32(offset);
    offset += images[i].size();
  }
  for (const auto& png : images) ico.append(png);
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write(ico);
}

}  // namespace

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
  SaveIco(folder + "/quillon.ico");
  return 0;
}
