#include <windows.h>

#include <bcrypt.h>

#include <array>
#include <cstdio>

#include "records/sha256.h"

namespace quillon::records {

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  std::array<UCHAR, 32> digest{};
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool done = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // CNG takes at most a ULONG's worth of bytes per call.
  for (std::size_t at = 0; done && at < bytes.size();) {
    const auto part = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
    done = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + at), part, 0));
    at += part;
  }
  done = done && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!done) return {};
  std::string hex;
  for (UCHAR byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

}  // namespace quillon::records
