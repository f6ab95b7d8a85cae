#include "ui/qt/dialog_common.h"

#include "base/messages.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLibraryInfo>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace quillon::qt {

QFont DialogFont() {
  QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
  font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")});
  font.setPointSize(9);
  return font;
}

void SetUpDialog(QDialog& dialog, const QString& caption) {
  dialog.setFont(DialogFont());
  dialog.setWindowTitle(caption);
  dialog.setWindowIcon(ProgramIcon());
}

std::unique_ptr<QTranslator> InstallQtTranslations(const QLocale& locale) {
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
      !QCoreApplication::installTranslator(translator.get())) {
    return nullptr;
  }
  return translator;
}

std::unique_ptr<QTranslator> InstallProgramTranslations(bool japanese) {
  if (japanese) return nullptr;
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QStringLiteral(":/i18n/quillon_en.qm")) || !QCoreApplication::installTranslator(translator.get())) {
    return nullptr;
  }
  return translator;
}

namespace {
constexpr const char* kContext = "quillon";
}  // namespace

QString UiText(const char* japanese) { return QCoreApplication::translate(kContext, japanese); }

Language ReaderLanguage() {
  // The English texts are installed when a window's own text has its English.
  static constexpr const char* kProbe = "送信";
  return QCoreApplication::translate(kContext, kProbe) != QString::fromUtf8(kProbe) ? Language::kEnglish
                                                                                    : Language::kJapanese;
}

QString ReaderText(std::string_view text) {
  return ToQString(ReaderLanguage() == Language::kEnglish ? EnglishOfShownText(text) : std::string(text));
}

QString ToQString(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 32.0;
    // A chip with pins, and an arrow writing into it.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2B, 0x4C, 0x7E));
    p.drawRoundedRect(QRectF(6 * s, 6 * s, 20 * s, 20 * s), 3 * s, 3 * s);
    p.setBrush(QColor(0xB0, 0xB8, 0xC4));
    for (int i = 0; i < 4; ++i) {
      const double at = (8.5 + i * 4.5) * s;
      p.drawRect(QRectF(at, 2 * s, 2 * s, 4 * s));
      p.drawRect(QRectF(at, 26 * s, 2 * s, 4 * s));
      p.drawRect(QRectF(2 * s, at, 4 * s, 2 * s));
      p.drawRect(QRectF(26 * s, at, 4 * s, 2 * s));
    }
    QPainterPath arrow;
    arrow.moveTo(16 * s, 9 * s);
    arrow.lineTo(22 * s, 16 * s);
    arrow.lineTo(18 * s, 16 * s);
    arrow.lineTo(18 * s, 23 * s);
    arrow.lineTo(14 * s, 23 * s);
    arrow.lineTo(14 * s, 16 * s);
    arrow.lineTo(10 * s, 16 * s);
    arrow.closeSubpath();
    p.setBrush(QColor(0xF2, 0xA9, 0x00));
    p.drawPath(arrow);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

DialogUnits::DialogUnits(const QWidget& dialog) {
  const QFontMetrics metrics(dialog.font());
  // A dialog unit is a quarter of the average character width and an eighth of its height.
  x_ = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0 / 4.0;
  y_ = metrics.height() / 8.0;
}

void DialogUnits::Fit(const QWidget& dialog, const QString& text, int width) {
  x_ = std::max(x_, QFontMetrics(dialog.font()).horizontalAdvance(text) / static_cast<double>(width));
}

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
  return {static_cast<int>(x * x_), static_cast<int>(y * y_), static_cast<int>(w * x_), static_cast<int>(h * y_)};
}

}  // namespace quillon::qt
