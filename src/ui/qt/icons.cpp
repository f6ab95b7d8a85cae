// Writes the program icon in the sizes a desktop wants, as hicolor/<n>x<n>/apps/quillon.png
// under the folder given; the build runs it for the install.

#include <QDir>
#include <QGuiApplication>
#include <cstdio>

#include "ui/qt/dialog_common.h"

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: quillon-icons FOLDER\n");
    return 2;
  }
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    const QString folder = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/hicolor/%1x%1/apps").arg(size);
    if (!QDir().mkpath(folder) ||
        !quillon::qt::ProgramIcon().pixmap(size, size).save(folder + QStringLiteral("/quillon.png"))) {
      std::fprintf(stderr, "quillon-icons: cannot write %s\n", folder.toLocal8Bit().constData());
      return 1;
    }
  }
  return 0;
}
