// quillon-cli info: how an update file (and a boot file) load, block by block.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/messages.h"
#include "base/program_paths.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/context.h"
#include "cli/exit_status.h"
#include "cli/file_report.h"
#include "cli/stamp_option.h"
#include "cli/json_text.h"
#include "cli/output.h"
#include "image/serial_stamp.h"
#include "image/srecord.h"
#include "records/sha256.h"

namespace quillon::cli {
namespace {

struct InfoOptions {
  std::string update;
  std::string boot;
  std::string serial_number;
  bool json = false;
  std::optional<long> baud;  ///< the bit rate a stamp's cost is reckoned at; none: the settings'
  std::string ini;
};

// What a stamp adds to a unit's transfer: the chunks its block sends beyond the update's own
// (the block is sent up to the end of the stamp's chunk), and their time on an 8N1 line at
// `baud` (each chunk 128 bytes and its checksum).
struct StampCost {
  int chunks = 0;
  double seconds = 0;
};
StampCost CostOf(const SerialStamp& stamp, const FlashImage& image, long baud) {
  const StampPlace place = PlaceOf(stamp);
  StampCost cost;
  cost.chunks = std::max(0, place.chunk + 1 - BlockChunks(image[static_cast<std::size_t>(place.block)]));
  cost.seconds = baud > 0 ? cost.chunks * (kChunkSize + 1) * 10.0 / static_cast<double>(baud) : 0;
  return cost;
}

// What was loaded, for `info` to show.
struct Loaded {
  long baud = 0;
  int result = 0;
  FlashImage image;
  std::optional<SerialStamp> stamp;
  std::string sha256;
  int boot_result = 1;
  BootImage boot;
};

nlohmann::ordered_json InfoJson(const InfoOptions& options, const Loaded& l) {
  nlohmann::ordered_json out;
  out["result"] = l.result;
  out["image_sha256"] = l.sha256;
  if (l.stamp) {
    const StampPlace place = PlaceOf(*l.stamp);
    const StampCost cost = CostOf(*l.stamp, l.image, l.baud);
    out["serial_number"] = {{"address", l.stamp->address}, {"bytes", l.stamp->width}, {"block", place.block},
                            {"chunk", place.chunk}, {"added_chunks", cost.chunks},
                            {"added_seconds", std::round(cost.seconds * 1000) / 1000}, {"baud", l.baud}};
  }
  out["blocks"] = nlohmann::json::array();
  for (int i = 0; i < kFlashBlockCount; ++i) {
    const auto& block = l.image[i];
    out["blocks"].push_back({{"index", i},
                             {"base", FlashBlockTable[i].base},
                             {"size", FlashBlockTable[i].size},
                             {"used", block.UsedLength},
                             {"chunks", BlockChunks(block)},
                             {"checksum", BlockChecksum(block)}});
  }
  if (!options.boot.empty()) out["boot"] = {{"result", l.boot_result}, {"bytes", l.boot.Count}};
  return out;
}

void PrintInfo(const InfoOptions& options, const Loaded& l) {
  const std::string_view state = l.result == -1 ? ToTranslate("cannot be read")
                                 : l.result < 0 ? ToTranslate("bad contents")
                                 : TotalUsedLength(l.image) == 0
                                     ? ToTranslate("loaded, but no byte lies in the flash")
                                     : ToTranslate("loaded");
  // The loader's result is for a person only when it failed (--json always has it).
  if (l.result >= 0) {
    Say(stdout, "Update file %s: %s\n", {options.update, Tr(state)});
  } else {
    Say(stdout, "Update file %s: %s (result %s)\n", {options.update, Tr(state), std::to_string(l.result)});
  }
  Print(stdout, "%5s  %-8s  %-8s  %-8s  %6s  %8s\n", "block", "base", "size", "used", "chunks", "checksum");
  for (int i = 0; i < kFlashBlockCount; ++i) {
    Print(stdout, "%5d  0x%05X   0x%05X   0x%05X   %6d      0x%02X\n", i, FlashBlockTable[i].base,
          FlashBlockTable[i].size, l.image[i].UsedLength, BlockChunks(l.image[i]), BlockChecksum(l.image[i]));
  }
  Say(stdout, "Total: %s bytes to send in %s chunks\n",
      {std::to_string(static_cast<long long>(TotalUsedLength(l.image))),
       std::to_string(static_cast<long long>(TotalUsedLength(l.image) / kChunkSize))});
  Say(stdout, "Image SHA-256: %s (--expect-sha256 pins it)\n", {l.sha256});
  if (l.stamp) {
    const StampPlace place = PlaceOf(*l.stamp);
    Print(stdout,
          "Serial number: %d bytes at 0x%05X, in block %d (base 0x%05X), chunk %d; the block is "
          "sent up to "
          "the end of that chunk at least\n",
          l.stamp->width, l.stamp->address, place.block, FlashBlockTable[static_cast<std::size_t>(place.block)].base,
          place.chunk);
    const StampCost cost = CostOf(*l.stamp, l.image, l.baud);
    if (cost.chunks == 0) {
      Say(stdout, "The update already sends that chunk: the stamp adds nothing to a unit's transfer\n");
    } else {
      Say(stdout,
          "The stamp adds %s chunks the update does not send (block %s up to chunk %s): about %s s a unit at "
          "%s bit/s; a stamp address inside what the update already sends costs nothing\n",
          {std::to_string(cost.chunks), std::to_string(place.block), std::to_string(place.chunk),
           Fixed(cost.seconds, 1), std::to_string(l.baud)});
    }
  }
  if (!options.boot.empty()) {
    if (l.boot_result >= 1) {
      Say(stdout, "Boot file %s: %s (%s bytes)\n", {options.boot, Tr("loaded"), std::to_string(l.boot.Count)});
    } else {
      Say(stdout, "Boot file %s: %s (result %s, %s bytes)\n",
          {options.boot, l.boot_result == -1 ? Tr("cannot be read") : Tr("not usable"), std::to_string(l.boot_result),
           std::to_string(l.boot.Count)});
    }
  }
}

int RunInfo(const Context& context, const InfoOptions& options) {
  SRecordReader reader;
  Loaded l;
  l.baud = options.baud ? *options.baud : context.LoadSettings(options.ini).Baudrate;
  SRecordDiagnosis diagnosis;
  l.result = reader.LoadFlashImage(l.image, Utf8Path(options.update), &diagnosis);
  ReportLoadedFile(l.result, diagnosis, options.update, ToTranslate("update file"));
  if (l.result >= 0) {
    if (const auto status = CheckStamp(l.image, options.serial_number, l.stamp)) return *status;
  }
  l.sha256 = records::Sha256Hex(FlattenFlashImage(l.image));
  if (!options.boot.empty()) {
    l.boot_result = reader.LoadBootImage(Utf8Path(options.boot), l.boot);
    ReportFileProblems(options.boot, ToTranslate("boot file"), l.boot_result < 1);
  }
  if (options.json) {
    Print(stdout, "%s\n", JsonText(InfoJson(options, l)).c_str());
  } else {
    PrintInfo(options, l);
  }
  if (l.result == -1) return ExitForMessage(kMsgNoDataFile);
  if (l.result < 0) return ExitForMessage(kMsgDataFileBad);
  // What flash would say of it: a file that loads but gives the flash nothing is bad.
  if (ReportNoFlashData(l.image, options.update)) return ExitForMessage(kMsgDataFileBad);
  if (l.boot_result == -1) return ExitForMessage(kMsgNoBootFile);
  if (l.boot_result < 1) return ExitForMessage(kMsgBootFileBad);
  return kExitSuccess;
}

}  // namespace

void AddInfoCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<InfoOptions>();
  auto* sub = app.add_subcommand("info", "Show how an update file lays out over the twelve erase blocks");
  sub->add_option("UPDATE", options->update, "update file (Motorola S-records)")->required();
  sub->add_option("--boot", options->boot, "also load this boot file");
  sub->add_option("--serial-number", options->serial_number,
                  "show where a station's serial number stamp ADDR:FORMAT lands (block and chunk)");
  sub->add_option("--baud", options->baud,
                  "with --serial-number: the bit rate the stamp's cost is reckoned at (default: the settings')")
      ->check(CLI::PositiveNumber);
  sub->add_option("--ini", options->ini, "the settings file whose bit rate is used (default: the one in use)")
      ->transform(AbsolutePath());
  sub->add_flag("--json", options->json, "print one JSON object");
  sub->callback([options, &context, &status] { status = RunInfo(context, *options); });
}

}  // namespace quillon::cli
