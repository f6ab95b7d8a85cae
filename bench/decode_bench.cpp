// Decoding speed of the S-record dialect over a large generated text (128 MiB of S3 records
// with 32 data bytes each, CR LF line ends).

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>

#include "image/srecord.h"

namespace {

std::string MakeText(std::size_t target_bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  text.reserve(target_bytes + 128);
  std::mt19937 random(1);
  std::uint32_t address = 0;
  while (text.size() < target_bytes) {
    unsigned sum = 0;
    auto pair = [&](unsigned v) {
      v &= 0xFF;
      sum += v;
      text += digits[v >> 4];
      text += digits[v & 0xF];
    };
    text += "S3";
    pair(4 + 32 + 1);
    for (int i = 3; i >= 0; --i) pair(address >> (8 * i));
    for (int i = 0; i < 32; ++i) pair(random());
    const unsigned checksum = 255 - (sum & 0xFF);
    text += digits[checksum >> 4];
    text += digits[checksum & 0xF];
    text += "\r\n";
    address += 32;
  }
  return text;
}

const std::string& Text() {
  static const std::string text = MakeText(128u << 20);
  return text;
}

void BM_DecodeSRecords(benchmark::State& state) {
  const auto& text = Text();
  auto out = std::make_unique<std::uint8_t[]>(text.size());
  quillon::SRecordReader reader;
  for (auto _ : state) {
    benchmark::DoNotOptimize(reader.DecodeSRecords(text, out.get()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DecodeSRecords)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_LoadFlashImageText(benchmark::State& state) {
  const auto& text = Text();
  quillon::SRecordReader reader;
  for (auto _ : state) {
    quillon::FlashImage image;
    benchmark::DoNotOptimize(reader.LoadFlashImageText(image, text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadFlashImageText)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
