#include <cstdio>
#include <new>

#include "image/srecord.h"

namespace quillon {

int FileText::Load(const std::filesystem::path& path) {
  Release();
  std::FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return -1;
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{file};
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) return -1;
  try {
    buffer_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size) + 1);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  if (std::fread(buffer_.get(), 1, static_cast<std::size_t>(size), file) != static_cast<std::size_t>(size)) {
    Release();
    return -1;
  }
  data_ = buffer_.get();
  size_ = static_cast<std::size_t>(size);
  return 0;
}

}  // namespace quillon
