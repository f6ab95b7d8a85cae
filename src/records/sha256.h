#pragma once
// SHA-256 from the platform's own maintained code (OpenSSL's libcrypto; Windows' CNG).

#include <cstdint>
#include <span>
#include <string>

namespace quillon::records {

/// The SHA-256 of `bytes` as 64 lowercase hex digits; empty when the platform's hash failed.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace quillon::records
