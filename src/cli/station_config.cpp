#include "cli/station_config.h"

#include <algorithm>
#include <fstream>
#include <set>

#include "base/program_paths.h"
#include "report/words.h"

namespace quillon::cli {
namespace {

// Options that say how to read options: never in a file.
bool NotConfigurable(const CLI::Option& option) {
  for (const char* name : {"help", "config", "print-config"}) {
    if (option.check_lname(name)) return true;
  }
  return false;
}

bool IsFlag(const CLI::Option& option) { return option.get_expected_max() == 0; }

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Unquoted(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
  return value;
}

struct Entry {
  std::string key, value;
  int line = 0;
};

// The [station] section's entries; false with `error` for a line that is none of a comment, a
// section or key = value, or an entry outside [station].
bool ReadEntries(const std::string& path, std::vector<Entry>& entries, std::string& error) {
  std::ifstream in(Utf8Path(path), std::ios::binary);
  if (!in) {
    error = TrF("--config %s: the file cannot be read", {path});
    return false;
  }
  std::string text;
  std::string section;
  for (int number = 1; std::getline(in, text); ++number) {
    if (number == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    const std::string line = Trimmed(text);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      section = line.back() == ']' ? Trimmed(line.substr(1, line.size() - 2)) : line;
      if (section != "station") {
        error = TrF("--config %s line %s: only a [station] section is read, not %s",
                    {path, std::to_string(number), line});
        return false;
      }
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      error = TrF("--config %s line %s: write key = value", {path, std::to_string(number)});
      return false;
    }
    if (section != "station") {
      error = TrF("--config %s line %s: the options go below a line [station]", {path, std::to_string(number)});
      return false;
    }
    std::string key = Trimmed(line.substr(0, equals));
    if (key.rfind("--", 0) == 0) key.erase(0, 2);
    entries.push_back({key, Unquoted(Trimmed(line.substr(equals + 1))), number});
  }
  return true;
}

const CLI::Option* LongOption(const CLI::App& station, const std::string& name) {
  for (const CLI::Option* option : station.get_options()) {
    if (!option->get_positional() && option->check_lname(name)) return option;
  }
  return nullptr;
}

const CLI::Option* ShortOption(const CLI::App& station, char name) {
  for (const CLI::Option* option : station.get_options()) {
    if (!option->get_positional() && option->check_sname(std::string(1, name))) return option;
  }
  return nullptr;
}

// What the command line gives: its options, and whether it names the update file.
struct Given {
  std::set<const CLI::Option*> options;
  bool positional = false;
};

Given ReadCommandLine(const CLI::App& station, const std::vector<std::string>& arguments) {
  Given given;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& token = arguments[i];
    if (token == "--") {
      given.positional = given.positional || i + 1 < arguments.size();
      break;
    }
    if (token.rfind("--", 0) == 0) {
      const std::string name = token.substr(2, token.find('=') - 2);
      const CLI::Option* option = LongOption(station, name);
      if (option == nullptr) continue;
      given.options.insert(option);
      if (!IsFlag(*option) && token.find('=') == std::string::npos) ++i;  // its value
    } else if (token.size() > 1 && token.front() == '-') {
      for (std::size_t at = 1; at < token.size(); ++at) {
        const CLI::Option* option = ShortOption(station, token[at]);
        if (option == nullptr) break;
        given.options.insert(option);
        if (!IsFlag(*option)) {
          if (at + 1 == token.size()) ++i;  // its value is the next argument
          break;
        }
      }
    } else {
      given.positional = true;
    }
  }
  return given;
}

}  // namespace

std::optional<std::vector<std::string>> WithStationConfig(const CLI::App& station, std::vector<std::string> arguments,
                                                          std::string& error) {
  std::string path;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--") break;
    if (arguments[i] == "--config" && i + 1 < arguments.size()) {
      path = arguments[i + 1];
      arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      break;
    }
    if (arguments[i].rfind("--config=", 0) == 0) {
      path = arguments[i].substr(9);
      arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (path.empty()) return arguments;
  std::vector<Entry> entries;
  if (!ReadEntries(path, entries, error)) return std::nullopt;
  const Given given = ReadCommandLine(station, arguments);
  std::vector<std::string> from_file;
  std::string update;
  for (const auto& entry : entries) {
    const std::string where = TrF("%s line %s", {path, std::to_string(entry.line)});
    if (entry.key == kUpdateKey) {
      update = entry.value;
      continue;
    }
    const CLI::Option* option = LongOption(station, entry.key);
    if (option == nullptr || NotConfigurable(*option)) {
      error = TrF("--config %s: the station has no option --%s that a file can give", {where, entry.key});
      return std::nullopt;
    }
    if (given.options.count(option) != 0) continue;  // the command line's replaces it
    if (IsFlag(*option)) {
      std::string value = entry.value;
      std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
      if (value == "true" || value == "yes" || value == "1" || value == "on") {
        from_file.push_back("--" + entry.key);
      } else if (value != "false" && value != "no" && value != "0" && value != "off") {
        error = TrF("--config %s: --%s is on or off: write true or false", {where, entry.key});
        return std::nullopt;
      }
      continue;
    }
    from_file.push_back("--" + entry.key);
    from_file.push_back(entry.value);
  }
  if (!update.empty() && !given.positional) from_file.push_back(update);
  arguments.insert(arguments.begin(), from_file.begin(), from_file.end());
  return arguments;
}

std::string EffectiveStationConfig(const CLI::App& station) {
  std::string text = "[station]\n";
  const auto quoted = [](const std::string& value) {
    return value.empty() || value != Trimmed(value) || value.front() == '"' ? "\"" + value + "\"" : value;
  };
  std::string update;
  for (const CLI::Option* option : station.get_options()) {
    if (option->count() == 0 || NotConfigurable(*option)) continue;
    if (option->get_positional()) {
      update = option->results().empty() ? "" : option->results().front();
      continue;
    }
    const std::string name = option->get_lnames().empty() ? option->get_name() : option->get_lnames().front();
    if (IsFlag(*option)) {
      text += name + " = true\n";
      continue;
    }
    for (const auto& value : option->results()) text += name + " = " + quoted(value) + "\n";
  }
  if (!update.empty()) text += std::string(kUpdateKey) + " = " + quoted(update) + "\n";
  return text;
}

}  // namespace quillon::cli
