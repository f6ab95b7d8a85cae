#include "records/run_records.h"

#include <cctype>
#include <cstdio>

namespace quillon::records {

std::optional<std::int64_t> SerialValue(const std::optional<std::string>& serial) {
  if (!serial || serial->empty() || serial->size() > 18 || serial->find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoll(*serial);
}

const std::vector<std::string>& UnitColumns() {
  static const std::vector<std::string> columns{
      "id",          "station",      "port",        "adapter",       "operator",   "started_utc", "ended_utc",
      "seconds",     "update_file",  "image_sha256", "boot_sha256",  "serial_number", "bytes_sent", "result",
      "ok",          "stop_phase",   "stop_block",  "stop_chunk",    "records",    "quillon_version", "serial_counter",
      "serial_reused_by"};
  return columns;
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
long long DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const long long of_era = year - era * 400;
  const long long of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long days = of_era * 365 + of_era / 4 - of_era / 100 + of_year;
  return era * 146097 + days - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long of_era = z - era * 146097;
  const long long year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const long long of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long long mp = (5 * of_year + 2) / 153;
  day = static_cast<int>(of_year - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(year_of_era + era * 400 + (month <= 2));
}

// Reads exactly `width` digits at `at`.
bool Digits(const std::string& text, std::size_t& at, std::size_t width, int& value) {
  if (at + width > text.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  at += width;
  return true;
}

}  // namespace

std::optional<std::string> UtcInstant(const std::string& text) {
  std::size_t at = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  if (!Digits(text, at, 4, year) || at >= text.size() || text[at++] != '-' || !Digits(text, at, 2, month) ||
      at >= text.size() || text[at++] != '-' || !Digits(text, at, 2, day)) {
    return std::nullopt;
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) {
    return std::nullopt;
  }
  int offset_minutes = 0;
  if (at < text.size()) {
    const char joint = text[at++];
    if (joint != 'T' && joint != 't' && joint != ' ') return std::nullopt;
    if (!Digits(text, at, 2, hour) || at >= text.size() || text[at++] != ':' || !Digits(text, at, 2, minute)) {
      return std::nullopt;
    }
    if (at < text.size() && text[at] == ':') {
      ++at;
      if (!Digits(text, at, 2, second)) return std::nullopt;
      if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
        ++at;
        const std::size_t first = at;
        int scale = 100;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
          millis += (text[at] - '0') * scale;
          scale /= 10;
          ++at;
        }
        if (at == first) return std::nullopt;
      }
    }
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    if (at < text.size()) {
      const char zone = text[at++];
      if (zone == 'Z' || zone == 'z') {
        if (at != text.size()) return std::nullopt;
      } else if (zone == '+' || zone == '-') {
        int oh = 0, om = 0;
        if (!Digits(text, at, 2, oh)) return std::nullopt;
        if (at < text.size() && text[at] == ':') ++at;
        if (at < text.size() && !Digits(text, at, 2, om)) return std::nullopt;
        if (at != text.size() || oh > 23 || om > 59) return std::nullopt;
        offset_minutes = (zone == '+' ? 1 : -1) * (oh * 60 + om);
      } else {
        return std::nullopt;
      }
    }
  }
  long long total = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute - offset_minutes) * 60 + second;
  long long days = total / 86400;
  long long rest = total % 86400;
  if (rest < 0) rest += 86400, --days;
  CivilFromDays(days, year, month, day);
  if (year < 0 || year > 9999) return std::nullopt;
  char shown[40];
  std::snprintf(shown, sizeof shown, "%04d-%02d-%02dT%02lld:%02lld:%02lld.%03dZ", year, month, day, rest / 3600,
                rest / 60 % 60, rest % 60, millis);
  return std::string(shown);
}

}  // namespace quillon::records
