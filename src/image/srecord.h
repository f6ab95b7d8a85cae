#pragma once
// The S-record dialect of the boot file and the update file, and their two loaders.
//
// A record is "S", a type digit, a count pair, 2/3/4 address pairs, data pairs and a
// checksum pair, followed by two line-end characters that are skipped unlooked-at. Any
// character that is not a hex digit inside a record makes the text bad, and so does a record
// cut short by the end of the text: a lucky checksum must never let a corrupted byte through.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "image/flash_image.h"

namespace quillon {

/// 0..15 for a hex digit of either case, -1 for anything else.
int HexDigit(char c);
/// (high digit << 4) | low digit: negative when either character is not a hex digit.
int HexPair(const char* two);

/// Why a record was refused; kNone for a good one.
enum class RecordFault { kNone, kNotS, kBadType, kCutShort, kNonHex, kBadChecksum };

/// One decoded record. Records of types 0, 7, 8 and 9 carry their first two address bytes
/// as the address and keep no data.
struct SRecordInfo {
  RecordFault fault = RecordFault::kNone;
  char type = 0;
  std::uint32_t address = 0;
  int count = 0;   ///< data bytes kept (types 1, 2, 3 only)
  int length = 0;  ///< characters the record takes, its two line-end characters included
};

/// Decodes the record at the start of `text` without reading past its end; the kept data
/// bytes go to `data`, which needs room for 252 bytes.
SRecordInfo DecodeRecordAt(std::span<const char> text, std::uint8_t* data);

/// The boot program: the kept data bytes of the boot file in file order.
struct BootImage {
  std::unique_ptr<std::uint8_t[]> Bytes;  ///< null when the file could not be read
  int Count = 0;
  std::span<const std::uint8_t> Data() const {
    return {Bytes.get(), Bytes ? static_cast<std::size_t>(std::max(Count, 0)) : 0};
  }
};

/// The boot program download announces the size in two bytes.
inline constexpr int kMaxBootBytes = 0xFFFF;

/// Where and why a text is bad, plus the warnings the command line gives about it.
struct SRecordDiagnosis {
  RecordFault fault = RecordFault::kNone;
  int line = 0;            ///< 1-based line of the faulty record
  int record = 0;          ///< 1-based number of the faulty record
  std::string excerpt;     ///< the start of the faulty record's line
  int records = 0;               ///< good records seen
  bool has_termination = false;  ///< an S7, S8 or S9 record was seen
  std::int64_t bytes_beyond_flash = 0;  ///< data bytes at 0x40000 or above (dropped)
  bool lf_line_ends = false;  ///< a bad text whose lines end in LF alone (the records need CR LF)
};
class SRecordReader {
 public:
  virtual ~SRecordReader() = default;

  /// Decodes a whole text into `out` (room for text.size() bytes). Returns the number of
  /// data bytes written, or -2 for bad contents.
  int DecodeSRecords(std::span<const char> text, std::uint8_t* out) const;
  /// Decodes the one record at the start of `text`. Returns the characters it takes (8 or
  /// more) or -2; `count` and `address` are 0 on entry and describe the record on success.
  int DecodeSRecord(std::span<const char> text, std::span<std::uint8_t, 256> data, int& count,
                    std::uint32_t& address) const;

  /// Loads the boot file. Returns the byte count (1 or more), 0 for a text without data,
  /// -1 when the file cannot be read (image.Bytes null) or -2 for bad contents, also for a
  /// program too long for the download's two size bytes. The buffer, when there is one,
  /// belongs to the caller in every case.
  int LoadBootImage(const std::filesystem::path& path, BootImage& image) const;

  /// Lays the update file out over twelve fresh blocks. Returns 1, -1 when the file cannot
  /// be read (no block allocated), or -2 for bad contents or missing memory. Data at
  /// 0x40000 and above is dropped without a report; records without data bytes do not
  /// touch any block.
  /// With `diagnosis`, the same pass also fills it in (what DiagnoseSRecords says of the text),
  /// so a caller that reports on the file reads and decodes it once.
  int LoadFlashImage(FlashImage& blocks, const std::filesystem::path& path,
                     SRecordDiagnosis* diagnosis = nullptr) const;
  /// The same over a text already in memory (results 1 or -2).
  int LoadFlashImageText(FlashImage& blocks, std::span<const char> text,
                         SRecordDiagnosis* diagnosis = nullptr) const;
};

SRecordDiagnosis DiagnoseSRecords(std::span<const char> text);
/// True when the text's lines end in LF alone: no CR LF anywhere, but at least one LF.
bool HasLfOnlyLineEnds(std::span<const char> text);

/// A whole file's text in memory, read into one buffer sized once from the file's length.
/// Only a regular file is read (a FIFO or a device is refused without waiting on it), and a
/// file that shrinks while it is read is a failed read, never a crash.
class FileText {
 public:
  FileText() = default;
  ~FileText();
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;

  /// Returns 0, -1 when the file cannot be opened or read, -2 when memory runs out.
  int Load(const std::filesystem::path& path);
  std::span<const char> text() const { return {data_, size_}; }

 private:
  void Release();
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace quillon
