#include "records/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::records {
namespace {

std::vector<std::uint8_t> Of(const std::string& text) { return {text.begin(), text.end()}; }

// The FIPS 180-2 examples, and the erased flash (the same on both platforms' libraries).
TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Sha256Hex(Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace quillon::records
