#include "report/words.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>

#include "base/messages.h"
#include "base/system.h"

namespace quillon {

// Made by CMake: the text of po/ja.po.
std::string_view JapaneseCatalogueText();

struct Catalogue::Entries {
  std::map<std::string, std::string, std::less<>> translations;
};

namespace {

// The text of one quoted .po string: `at` is on the opening quote and ends after the closing one.
std::string Quoted(std::string_view text, std::size_t& at) {
  std::string value;
  for (++at; at < text.size() && text[at] != '"'; ++at) {
    if (text[at] != '\\' || at + 1 >= text.size()) {
      value += text[at];
      continue;
    }
    switch (const char escaped = text[++at]) {
      case 'n':
        value += '\n';
        break;
      case 't':
        value += '\t';
        break;
      case 'r':
        value += '\r';
        break;
      default:
        value += escaped;
        break;  // \" and \\ and anything else as itself
    }
  }
  if (at < text.size()) ++at;
  return value;
}

std::atomic<Language>& Current() {
  static std::atomic<Language> language{Language::kEnglish};
  return language;
}

const Catalogue& Japanese() {
  static const Catalogue catalogue(JapaneseCatalogueText());
  return catalogue;
}

}  // namespace

Catalogue::Catalogue(std::string_view po) {
  auto entries = std::make_shared<Entries>();
  // One entry at a time: its comments (a "#," line may say fuzzy), msgid, msgstr, each string
  // possibly continued on the following lines.
  std::string id, str;
  std::string* filling = nullptr;
  bool fuzzy = false;
  auto finish = [&] {
    if (!fuzzy && !id.empty() && !str.empty()) entries->translations.emplace(id, str);
    id.clear();
    str.clear();
    filling = nullptr;
    fuzzy = false;
  };
  std::size_t line_start = 0;
  while (line_start < po.size()) {
    auto line_end = po.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = po.size();
    std::string_view line = po.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) continue;
    const std::string_view keyword = line.substr(0, line.find(' '));
    if (line[0] == '#') {
      // A comment starts the next entry; "#, fuzzy" marks it as not to be used.
      if (filling == &str) finish();
      if (line.rfind("#,", 0) == 0 && line.find("fuzzy") != std::string_view::npos) fuzzy = true;
      continue;
    }
    std::size_t at = line.find('"');
    if (keyword == "msgid") {
      if (filling == &str) finish();
      filling = &id;
    } else if (keyword == "msgstr") {
      filling = &str;
    } else if (line[0] != '"') {
      filling = nullptr;  // msgctxt, msgid_plural, msgstr[n]: not used here
    }
    if (filling != nullptr && at != std::string_view::npos) *filling += Quoted(line, at);
  }
  finish();
  entries_ = std::move(entries);
}

std::string_view Catalogue::Find(std::string_view english) const {
  const auto it = entries_->translations.find(english);
  return it == entries_->translations.end() ? std::string_view() : std::string_view(it->second);
}

std::size_t Catalogue::size() const { return entries_->translations.size(); }

std::string FormatArgs(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      out += format[i];
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::size_t place = next;
    std::size_t j = i + 1;
    if (std::isdigit(static_cast<unsigned char>(format[j])) != 0) {
      std::size_t number = 0;
      while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])) != 0) {
        number = number * 10 + static_cast<std::size_t>(format[j] - '0');
        ++j;
      }
      if (j >= format.size() || format[j] != '$' || number == 0) {
        out += format[i];
        continue;
      }
      place = number - 1;
      ++j;
    } else {
      ++next;
    }
    if (j >= format.size() || format[j] != 's') {
      out += format[i];
      continue;
    }
    if (place < args.size()) out += *(args.begin() + place);
    i = j;
  }
  return out;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

Language LanguageOfLocale(std::string_view locale) {
  return IsJapaneseLocale(locale) ? Language::kJapanese : Language::kEnglish;
}

Language UserLanguage() { return LanguageOfLocale(UserLocaleName()); }

void SetLanguage(Language language) { Current().store(language); }

Language CurrentLanguage() { return Current().load(); }

std::string_view TrIn(Language language, std::string_view english) {
  if (language == Language::kJapanese) {
    if (const auto text = Japanese().Find(english); !text.empty()) return text;
  }
  return english;
}

std::string TrFIn(Language language, std::string_view english,
                  std::initializer_list<std::string_view> args) {
  return FormatArgs(TrIn(language, english), args);
}

std::string MessageTextShown(int id, std::string_view text) {
  if (CurrentLanguage() == Language::kJapanese) return std::string(text);
  return MessageTextEnglish(id, text);
}

std::string MessageTextShownNaming(int id, std::string_view port_label, Language language) {
  return language == Language::kJapanese ? MessageTextNaming(id, port_label)
                                                  : MessageTextEnglishNaming(id, port_label);
}

std::string_view Tr(std::string_view english) { return TrIn(CurrentLanguage(), english); }

std::string TrF(std::string_view english, std::initializer_list<std::string_view> args) {
  return FormatArgs(Tr(english), args);
}

}  // namespace quillon
