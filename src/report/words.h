#pragma once
// The command line's own words in the person's language. The English text in the code is the
// key (as with gettext); each other language has one catalogue, po/<language>.po, in the
// format translators know, built into the program. A text the catalogue lacks stays English.

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace quillon {

enum class Language { kEnglish, kJapanese };

/// The language a locale name asks for: "ja", "ja_JP.UTF-8", "Japanese_Japan.932" give
/// Japanese; anything else (C, POSIX, en_US.UTF-8, empty) English.
Language LanguageOfLocale(std::string_view locale);

/// The person's language: on POSIX the first of LC_ALL, LC_MESSAGES and LANG that is set,
/// on Windows the user's UI language.
Language UserLanguage();

/// The language Tr and TrF answer in (English until set; each program sets it once).
void SetLanguage(Language language);
Language CurrentLanguage();

/// Marks an English text for the catalogue where it is kept as a constant or in a table and
/// translated later, by Tr.
constexpr std::string_view ToTranslate(std::string_view english) { return english; }

/// `english` in the current language.
std::string_view Tr(std::string_view english);

/// Tr, with "%s" replaced by the arguments in order ("%2$s" names one by its place, for a
/// language that orders them otherwise; "%%" is a percent sign).
std::string TrF(std::string_view english, std::initializer_list<std::string_view> args);

/// Tr and TrF in a given language (JSON's texts are English whatever the locale).
std::string_view TrIn(Language language, std::string_view english);
std::string TrFIn(Language language, std::string_view english,
                  std::initializer_list<std::string_view> args);

/// A catalogue's translations, from the text of a .po file: entries marked fuzzy, untranslated
/// ones and the header are left out. For tests and the built-in catalogue.
class Catalogue {
 public:
  explicit Catalogue(std::string_view po_text);
  /// The translation, or empty when there is none.
  std::string_view Find(std::string_view english) const;
  std::size_t size() const;

 private:
  struct Entries;
  std::shared_ptr<const Entries> entries_;
};

/// A message as the command line shows it: its own text (`text`: 504 names its port) to readers
/// of Japanese, the English to everyone else.
std::string MessageTextShown(int id, std::string_view text);
/// The same for the message by its facts (504 names `port_label`), in `language`.
std::string MessageTextShownNaming(int id, std::string_view port_label, Language language = CurrentLanguage());

/// A number with this many decimals ("12.5"), for TrF's arguments.
std::string Fixed(double value, int decimals);

/// Replaces "%s", "%N$s" and "%%" in `format` by the arguments.
std::string FormatArgs(std::string_view format, std::initializer_list<std::string_view> args);

}  // namespace quillon
