#include "image/srecord.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>


namespace quillon {
namespace {

constexpr std::array<std::int8_t, 256> MakeHexTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return table;
}
constexpr auto kHex = MakeHexTable();

inline int Nibble(char c) { return kHex[static_cast<unsigned char>(c)]; }

// Address bytes read for a type digit; 0 for a type that makes the text bad.
inline int AddressLength(char type) {
  switch (type) {
    case '0': case '1': case '7': case '8': case '9': return 2;
    case '2': return 3;
    case '3': return 4;
    default: return 0;
  }
}

inline bool KeepsData(char type) { return type == '1' || type == '2' || type == '3'; }

}  // namespace

int HexDigit(char c) { return Nibble(c); }

int HexPair(const char* two) { return (Nibble(two[0]) * 16) | Nibble(two[1]); }

SRecordInfo DecodeRecordAt(std::span<const char> text, std::uint8_t* data) {
  SRecordInfo info;
  const std::size_t n = text.size();
  const char* p = text.data();
  if (n < 1 || p[0] != 'S') {
    info.fault = RecordFault::kNotS;
    return info;
  }
  if (n < 2) {
    info.fault = RecordFault::kCutShort;
    return info;
  }
  info.type = p[1];
  const int address_length = AddressLength(info.type);
  if (address_length == 0) {
    info.fault = RecordFault::kBadType;
    return info;
  }
  if (n < 4) {
    info.fault = RecordFault::kCutShort;
    return info;
  }
  const int count = HexPair(p + 2);
  if (count < 0) {
    info.fault = RecordFault::kNonHex;
    return info;
  }
  const int data_length = std::max(count - address_length - 1, 0);
  const std::size_t body = 4 + 2 * static_cast<std::size_t>(address_length + data_length);
  if (n < body + 2) {
    info.fault = RecordFault::kCutShort;
    return info;
  }
  unsigned sum = static_cast<unsigned>(count);
  int bad = 0;
  p += 4;
  std::uint32_t address = 0;
  for (int i = 0; i < address_length; ++i, p += 2) {
    const int hi = Nibble(p[0]), lo = Nibble(p[1]);
    bad |= hi | lo;
    const unsigned byte = static_cast<unsigned>((hi << 4) | lo) & 0xFF;
    sum += byte;
    address = (address << 8) | byte;
  }
  const bool keep = KeepsData(info.type);
  for (int i = 0; i < data_length; ++i, p += 2) {
    const int hi = Nibble(p[0]), lo = Nibble(p[1]);
    bad |= hi | lo;
    const auto byte = static_cast<std::uint8_t>((hi << 4) | lo);
    sum += byte;
    if (keep) data[i] = byte;
  }
  const int checksum = HexPair(p);
  if (bad < 0 || checksum < 0) {
    info.fault = RecordFault::kNonHex;
    return info;
  }
  if (static_cast<int>(255 - (sum & 0xFF)) != checksum) {
    info.fault = RecordFault::kBadChecksum;
    return info;
  }
  info.address = address;
  info.count = keep ? data_length : 0;
  info.length = static_cast<int>(body + 4);
  return info;
}

int SRecordReader::DecodeSRecords(std::span<const char> text, std::uint8_t* out) const {
  std::size_t pos = 0;
  int written = 0;
  while (pos < text.size()) {
    const SRecordInfo info = DecodeRecordAt(text.subspan(pos), out + written);
    if (info.fault != RecordFault::kNone) return -2;
    written += info.count;
    pos += static_cast<std::size_t>(info.length);
  }
  return written;
}

int SRecordReader::DecodeSRecord(std::span<const char> text, std::span<std::uint8_t, 256> data,
                                 int& count, std::uint32_t& address) const {
  count = 0;
  address = 0;
  const SRecordInfo info = DecodeRecordAt(text, data.data());
  if (info.fault != RecordFault::kNone) return -2;
  count = info.count;
  address = info.address;
  return info.length;
}

FileText::~FileText() { Release(); }

void FileText::Release() {
  buffer_.reset();
  data_ = nullptr;
  size_ = 0;
}


int SRecordReader::LoadBootImage(const std::filesystem::path& path, BootImage& image) const {
  image.Bytes.reset();
  image.Count = 0;
  FileText file;
  if (file.Load(path) != 0) return -1;
  try {
    image.Bytes = std::make_unique_for_overwrite<std::uint8_t[]>(file.text().size() + 1);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  const int n = DecodeSRecords(file.text(), image.Bytes.get());
  if (n > kMaxBootBytes) return -2;
  image.Count = std::max(n, 0);
  return n;
}

namespace {

// Puts one record's bytes into the block or blocks that hold their addresses. Addresses are
// taken as 64-bit numbers, so nothing at 0x40000 or beyond (bit 31 included) reaches a buffer.
void PlaceRecord(FlashImage& blocks, std::int64_t address, std::span<const std::uint8_t> bytes) {
  for (int i = 0; i < kFlashBlockCount && !bytes.empty(); ++i) {
    const std::int64_t end = FlashBlockTable[i + 1].base;
    if (end <= address) continue;
    const auto take = static_cast<std::size_t>(std::min<std::int64_t>(end - address, bytes.size()));
    blocks[i].Store(static_cast<std::int32_t>(address), bytes.first(take));
    bytes = bytes.subspan(take);
    address = end;
  }
}

}  // namespace

int SRecordReader::LoadFlashImage(FlashImage& blocks, const std::filesystem::path& path,
                                  SRecordDiagnosis* diagnosis) const {
  FileText file;
  if (int r = file.Load(path); r != 0) return r;
  return LoadFlashImageText(blocks, file.text(), diagnosis);
}

namespace {

// What the diagnosis says of one good record.
void NoteRecord(const SRecordInfo& info, SRecordDiagnosis& d) {
  ++d.records;
  if (info.type == '7' || info.type == '8' || info.type == '9') d.has_termination = true;
  const std::int64_t start = info.address;
  const std::int64_t end = start + info.count;
  d.bytes_beyond_flash += std::max<std::int64_t>(0, end - std::max<std::int64_t>(start, kFlashEnd));
}

// Where the bad record starting at `pos` lies, and the start of its line.
void NoteFault(std::span<const char> text, std::size_t pos, int record, RecordFault fault, SRecordDiagnosis& d) {
  d.fault = fault;
  d.record = record;
  d.line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
  auto rest = text.subspan(pos);
  auto eol = std::find_if(rest.begin(), rest.end(), [](char c) { return c == '\r' || c == '\n'; });
  d.excerpt.assign(rest.begin(), std::min(eol, rest.begin() + std::min<std::ptrdiff_t>(80, rest.size())));
  d.lf_line_ends = HasLfOnlyLineEnds(text);
}

}  // namespace

int SRecordReader::LoadFlashImageText(FlashImage& blocks, std::span<const char> text,
                                      SRecordDiagnosis* diagnosis) const {
  bool allocated = true;
  for (int i = 0; i < kFlashBlockCount; ++i) {
    allocated = blocks[i].Allocate(FlashBlockTable[i].base, FlashBlockTable[i].size) && allocated;
  }
  if (!allocated) return -2;
  std::array<std::uint8_t, 256> data{};
  std::size_t pos = 0;
  int record = 0;
  while (pos < text.size()) {
    ++record;
    const SRecordInfo info = DecodeRecordAt(text.subspan(pos), data.data());
    if (info.fault != RecordFault::kNone) {
      if (diagnosis != nullptr) NoteFault(text, pos, record, info.fault, *diagnosis);
      return -2;
    }
    if (diagnosis != nullptr) NoteRecord(info, *diagnosis);
    // A record without data says nothing about the flash: its address must not make a
    // block send 0xFF bytes the file never gave.
    if (info.count > 0) PlaceRecord(blocks, info.address, std::span(data).first(static_cast<std::size_t>(info.count)));
    pos += static_cast<std::size_t>(info.length);
  }
  for (auto& block : blocks) block.RoundUsedLength();
  return 1;
}

bool HasLfOnlyLineEnds(std::span<const char> text) {
  const std::string_view all(text.data(), text.size());
  return all.find('\n') != std::string_view::npos && all.find("\r\n") == std::string_view::npos;
}

SRecordDiagnosis DiagnoseSRecords(std::span<const char> text) {
  SRecordDiagnosis result;
  std::array<std::uint8_t, 256> data{};
  std::size_t pos = 0;
  int record = 0;
  while (pos < text.size()) {
    ++record;
    const SRecordInfo info = DecodeRecordAt(text.subspan(pos), data.data());
    if (info.fault != RecordFault::kNone) {
      NoteFault(text, pos, record, info.fault, result);
      return result;
    }
    NoteRecord(info, result);
    pos += static_cast<std::size_t>(info.length);
  }
  return result;
}

}  // namespace quillon
