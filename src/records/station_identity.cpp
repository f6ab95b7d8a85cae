#include <filesystem>
#include <fstream>
#include <random>

#include "base/program_paths.h"
#include "base/system.h"
#include "records/fleet.h"

namespace quillon::records {

std::string NewUuid() {
  std::random_device random;
  std::uint8_t bytes[16];
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random() & 0xFF);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xF];
  }
  return text;
}

namespace {

bool IsUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : std::string_view("0123456789abcdef").find(text[i]) == std::string_view::npos) return false;
  }
  return true;
}

std::optional<std::string> ReadUuid(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  return IsUuid(text) ? std::optional<std::string>(text) : std::nullopt;
}

}  // namespace

std::optional<StationIdentity> LoadIdentity(const std::string& db_path, const std::string& name, std::string& error) {
  StationIdentity identity{name.empty() ? HostName() : name, {}, HostName()};
  const std::filesystem::path file = Utf8Path(db_path + ".station-uuid");
  std::error_code failed;
  if (std::filesystem::exists(file, failed)) {
    if (auto uuid = ReadUuid(file)) {
      identity.uuid = *uuid;
      return identity;
    }
    error = file.string() + " does not hold a station's UUID: move it away and a new one is made";
    return std::nullopt;
  }
  // Made whole under another name, then linked into place: of two stations that start
  // together on a new database, one makes it and both read it.
  const std::filesystem::path made = Utf8Path(db_path + ".station-uuid." + std::to_string(ProcessId()));
  {
    std::ofstream out(made, std::ios::trunc);
    out << NewUuid() << '\n';
    out.close();
    if (!out) {
      error = "cannot write " + made.string() + ": check that its folder can be written";
      return std::nullopt;
    }
  }
  std::filesystem::create_hard_link(made, file, failed);
  std::filesystem::remove(made, failed);
  if (auto uuid = ReadUuid(file)) {
    identity.uuid = *uuid;
    return identity;
  }
  error = "cannot keep the station's UUID in " + file.string();
  return std::nullopt;
}

}  // namespace quillon::records
