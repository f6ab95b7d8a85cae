#pragma once
// The private-profile (INI) file: "[Section]" lines followed by "key=value" lines.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon {

class ProfileStore {
 public:
  virtual ~ProfileStore() = default;
  /// The key's text, or `fallback` when the file, section or key is missing. Names are
  /// compared without regard to case; the value is trimmed and loses matching quotes.
  virtual std::string ReadString(std::string_view section, std::string_view key,
                                 std::string_view fallback) = 0;
  /// The key read as an integer the way the Windows profile functions read it: an empty or
  /// missing value gives `fallback`; a sign, decimal digits or a 0x/0o/0b prefix, the rest
  /// ignored, wrapping to 32 bits.
  virtual std::int32_t ReadInt(std::string_view section, std::string_view key,
                               std::int32_t fallback) = 0;
  /// Every key of a section in file order (the first of duplicates only).
  virtual std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view section) = 0;
  /// Sets the key, creating the section and the file when missing; false when it cannot.
  virtual bool WriteString(std::string_view section, std::string_view key, std::string_view value) = 0;
  /// Sets several keys of one section. By default key by key, stopping at the first that
  /// cannot be written; false then, with `why` (when given) naming it.
  virtual bool WriteKeys(std::string_view section, const std::vector<std::pair<std::string, std::string>>& keys,
                         std::string* why = nullptr);
};

/// Our own reader and writer of the format, for every platform. The file is read once, on
/// first use; a write replaces the file as a whole (new file beside it, then a rename), so a
/// crash or a full disk never leaves half a file, and every other line stays as it was.
class IniFileStore final : public ProfileStore {
 public:
  explicit IniFileStore(std::filesystem::path path) : path_(std::move(path)) {}
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) override;
  std::int32_t ReadInt(std::string_view section, std::string_view key, std::int32_t fallback) override;
  std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view section) override;
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) override;
  /// All the keys in one replacement of the file: it holds either every new value or none.
  bool WriteKeys(std::string_view section, const std::vector<std::pair<std::string, std::string>>& keys,
                 std::string* why = nullptr) override;

 private:
  struct Line {
    std::string text;
    std::string section;  // the section the line belongs to (trimmed)
    bool is_header = false;
    bool is_key = false;
    std::string key, value;
  };
  void Load();
  const Line* Find(std::string_view section, std::string_view key) const;
  static void Set(std::vector<Line>& lines, std::string_view section, std::string_view key, std::string_view value);
  bool Save(const std::vector<Line>& lines, std::string* why);

  std::filesystem::path path_;
  bool loaded_ = false;
  std::vector<Line> lines_;
  std::string line_end_ = "\r\n";
};


/// The platform's own profile store for a file.
std::unique_ptr<ProfileStore> OpenProfileStore(const std::filesystem::path& path);

/// The integer a profile value gives (see ProfileStore::ReadInt), for a non-empty value.
std::int32_t ParseProfileInt(std::string_view value);

/// At most 1023 bytes of the key's text, as a 1024-byte buffer would hold, cut where a
/// UTF-8 character begins.
std::string ReadProfileString(ProfileStore& store, std::string_view section, std::string_view key,
                              std::string_view fallback);
/// Writes the value as "%u": -1 is stored as 4294967295.
bool WriteProfileUnsigned(ProfileStore& store, std::string_view section, std::string_view key,
                          std::int32_t value);
/// The text "%u" gives for the value.
std::string ProfileUnsigned(std::int32_t value);

}  // namespace quillon
