#include "settings/profile_store.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "base/replace_file.h"

namespace quillon {
namespace {

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

}  // namespace

std::int32_t ParseProfileInt(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && static_cast<unsigned char>(value[i]) <= ' ') ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  unsigned base = 10;
  if (i + 1 < value.size() && value[i] == '0') {
    switch (value[i + 1]) {
      case 'x': base = 16; i += 2; break;
      case 'o': base = 8; i += 2; break;
      case 'b': base = 2; i += 2; break;
      default: break;
    }
  }
  std::uint32_t total = 0;
  for (; i < value.size(); ++i) {
    const char c = value[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'z') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'Z') digit = static_cast<unsigned>(c - 'A' + 10);
    else break;
    if (digit >= base) break;
    total = total * base + digit;
  }
  return static_cast<std::int32_t>(negative ? 0u - total : total);
}

void IniFileStore::Load() {
  if (loaded_) return;
  loaded_ = true;
  lines_.clear();
  std::ifstream in(path_, std::ios::binary);
  if (!in) return;
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  if (auto eol = text.find_first_of("\r\n"); eol != std::string::npos) {
    line_end_ = text.compare(eol, 2, "\r\n") == 0 ? "\r\n" : text.substr(eol, 1);
  }
  std::string section;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    Line line;
    line.text = text.substr(pos, end - pos);
    // A line ends in CR LF, LF or CR alone.
    pos = text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
    const std::string_view body = Trim(line.text);
    if (!body.empty() && body.front() == '[') {
      if (auto close = body.find(']'); close != std::string_view::npos) {
        section = std::string(Trim(body.substr(1, close - 1)));
        line.is_header = true;
      }
    } else if (!body.empty() && body.front() != ';') {
      if (auto eq = body.find('='); eq != std::string_view::npos) {
        line.is_key = true;
        line.key = std::string(Trim(body.substr(0, eq)));
        line.value = Unquote(Trim(body.substr(eq + 1)));
      }
    }
    line.section = section;
    lines_.push_back(std::move(line));
  }
}

const IniFileStore::Line* IniFileStore::Find(std::string_view section, std::string_view key) const {
  for (const auto& line : lines_) {
    if (line.is_key && SameName(line.section, Trim(section)) && SameName(line.key, Trim(key))) return &line;
  }
  return nullptr;
}

std::string IniFileStore::ReadString(std::string_view section, std::string_view key,
                                     std::string_view fallback) {
  Load();
  const Line* line = Find(section, key);
  return line ? line->value : std::string(fallback);
}

std::int32_t IniFileStore::ReadInt(std::string_view section, std::string_view key, std::int32_t fallback) {
  Load();
  const Line* line = Find(section, key);
  return line == nullptr || line->value.empty() ? fallback : ParseProfileInt(line->value);
}

std::vector<std::pair<std::string, std::string>> IniFileStore::ReadSection(std::string_view section) {
  Load();
  std::vector<std::pair<std::string, std::string>> keys;
  for (const auto& line : lines_) {
    if (!line.is_key || !SameName(line.section, Trim(section))) continue;
    const bool seen = std::any_of(keys.begin(), keys.end(), [&](const auto& k) { return SameName(k.first, line.key); });
    if (!seen) keys.emplace_back(line.key, line.value);
  }
  return keys;
}

void IniFileStore::Set(std::vector<Line>& lines, std::string_view section, std::string_view key,
                       std::string_view value) {
  Line entry;
  entry.text = std::string(key) + "=" + std::string(value);
  entry.section = std::string(Trim(section));
  entry.is_key = true;
  entry.key = std::string(Trim(key));
  entry.value = Unquote(Trim(value));

  auto in_section = [&](const Line& line) { return SameName(line.section, entry.section); };
  auto same_key = [&](const Line& line) { return line.is_key && in_section(line) && SameName(line.key, entry.key); };
  if (auto found = std::find_if(lines.begin(), lines.end(), same_key); found != lines.end()) {
    *found = entry;
  } else if (auto header = std::find_if(lines.begin(), lines.end(),
                                        [&](const Line& l) { return l.is_header && in_section(l); });
             header != lines.end()) {
    // After the section's last non-blank line, so a blank line before the next section stays.
    auto insert_at = header + 1;
    for (auto it = header + 1; it != lines.end() && !it->is_header; ++it) {
      if (!Trim(it->text).empty()) insert_at = it + 1;
    }
    lines.insert(insert_at, entry);
  } else {
    Line header_line;
    header_line.text = "[" + entry.section + "]";
    header_line.section = entry.section;
    header_line.is_header = true;
    lines.push_back(header_line);
    lines.push_back(entry);
  }
}

bool IniFileStore::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  return WriteKeys(section, {{std::string(key), std::string(value)}});
}

bool IniFileStore::WriteKeys(std::string_view section, const std::vector<std::pair<std::string, std::string>>& keys,
                             std::string* why) {
  Load();
  std::vector<Line> updated = lines_;
  for (const auto& [key, value] : keys) Set(updated, section, key, value);
  if (!Save(updated, why)) return false;
  lines_ = std::move(updated);
  return true;
}

bool IniFileStore::Save(const std::vector<Line>& lines, std::string* why) {
  std::string content;
  for (const auto& line : lines) content += line.text + line_end_;
  std::string reason;
  if (ReplaceFileContents(path_, content, &reason)) return true;
  if (why != nullptr) *why = path_.string() + ": " + reason;
  return false;
}

bool ProfileStore::WriteKeys(std::string_view section, const std::vector<std::pair<std::string, std::string>>& keys,
                             std::string* why) {
  // Every key is written even when one fails: one bad key must not cost the others.
  std::string failed;
  for (const auto& [key, value] : keys) {
    if (!WriteString(section, key, value)) failed += (failed.empty() ? "\"" : ", \"") + key + "\"";
  }
  if (failed.empty()) return true;
  if (why != nullptr) *why = "the key" + std::string(failed.find(',') == std::string::npos ? " " : "s ") + failed + " could not be written";
  return false;
}

std::string ReadProfileString(ProfileStore& store, std::string_view section, std::string_view key,
                              std::string_view fallback) {
  constexpr std::size_t kBuffer = 1024;
  std::string value = store.ReadString(section, key, fallback);
  if (value.size() > kBuffer - 1) {
    // Never through the middle of a UTF-8 character: the rest of the text would not be text.
    std::size_t cut = kBuffer - 1;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
    value.resize(cut);
  }
  return value;
}

std::string ProfileUnsigned(std::int32_t value) { return std::to_string(static_cast<std::uint32_t>(value)); }

bool WriteProfileUnsigned(ProfileStore& store, std::string_view section, std::string_view key,
                          std::int32_t value) {
  return store.WriteString(section, key, ProfileUnsigned(value));
}


}  // namespace quillon
