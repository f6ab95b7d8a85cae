#pragma once
// What the Qt windows share: the dialogs' font, dialog units, the program icon, UTF-8 text.

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QLocale>
#include <QTranslator>
#include <QString>
#include <memory>
#include <string_view>

#include "report/words.h"

namespace quillon::qt {

QString ToQString(std::string_view utf8);

/// The program icon (icon resource 128), drawn rather than loaded, so it needs no file.
QIcon ProgramIcon();

/// Positions given in dialog units, as the window templates give them, turned into pixels
/// with the dialog font's metrics.
class DialogUnits {
 public:
  explicit DialogUnits(const QWidget& dialog);
  QRect Rect(int x, int y, int w, int h) const;
  /// Widens the unit where a text would not fit its width in dialog units: full-width
  /// Japanese characters are wider than the Latin average the unit is taken from.
  void Fit(const QWidget& dialog, const QString& text, int width);

 private:
  double x_, y_;
};

/// The dialogs' font: the Japanese UI Gothic of the templates where it exists, else whatever
/// CJK sans-serif the system has.
QFont DialogFont();

/// Loads Qt's own texts (file dialog, standard buttons) for `locale` from Qt's translations
/// folder and installs them; they stay installed while the result lives. Null when Qt has no
/// translation for that language.
std::unique_ptr<QTranslator> InstallQtTranslations(const QLocale& locale);

/// The program's own texts in English, from its resources (quillon_en.ts), for a reader whose
/// language is not Japanese; for a Japanese reader nothing is installed and every text stays
/// as the program has always shown it. They stay installed while the result lives.
std::unique_ptr<QTranslator> InstallProgramTranslations(bool japanese);

/// One of the windows' own texts, given as the Japanese the program shows, in the reader's
/// language.
QString UiText(const char* japanese);

/// The reader's language: English when the program's English texts are installed.
Language ReaderLanguage();

/// A text of the update (a message box, a progress window's text, the file dialog's title and
/// filter, the About item) in the reader's language: the English the command line shows, under
/// the program's English texts.
QString ReaderText(std::string_view text);

/// Font, caption and icon of one of the program's dialogs.
void SetUpDialog(QDialog& dialog, const QString& caption);

}  // namespace quillon::qt
