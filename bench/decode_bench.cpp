// Decoding speed of the S-record dialect over a large generated text (128 MiB of S3 records
// with 32 data bytes each, CR LF line ends).

#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <random>
#include <string>

#include "image/srecord.h"
#include "testing/srecord_text.h"

namespace {

std::string MakeText(std::size_t target_bytes) {
  std::string text;
  text.reserve(target_bytes + 128);
  std::mt19937 random(1);
  std::array<std::uint8_t, 32> data{};
  for (std::uint32_t address = 0; text.size() < target_bytes; address += data.size()) {
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    text += quillon::testing::SRecordLine('3', address, data);
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
