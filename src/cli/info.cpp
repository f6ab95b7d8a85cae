// quillon-cli info: how an update file (and a boot file) load, block by block.

#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/messages.h"
#include "base/program_paths.h"
#include "report/words.h"
#include "cli/commands.h"
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
};

int RunInfo(const InfoOptions& options) {
  SRecordReader reader;
  FlashImage image;
  SRecordDiagnosis diagnosis;
  const int result = reader.LoadFlashImage(image, Utf8Path(options.update), &diagnosis);
  ReportLoadedFile(result, diagnosis, options.update, ToTranslate("update file"));

  std::optional<SerialStamp> stamp;
  if (result >= 0) {
    if (const auto status = CheckStamp(image, options.serial_number, stamp)) return *status;
  }
  const std::string sha256 = records::Sha256Hex(FlattenFlashImage(image));
  nlohmann::ordered_json out;
  out["result"] = result;
  out["image_sha256"] = sha256;
  if (stamp) {
    const StampPlace place = PlaceOf(*stamp);
    out["serial_number"] = {{"address", stamp->address}, {"bytes", stamp->width}, {"block", place.block}, {"chunk", place.chunk}};
  }
  out["blocks"] = nlohmann::json::array();
  for (int i = 0; i < kFlashBlockCount; ++i) {
    const auto& block = image[i];
    out["blocks"].push_back({{"index", i},
                             {"base", FlashBlockTable[i].base},
                             {"size", FlashBlockTable[i].size},
                             {"used", block.UsedLength},
                             {"chunks", BlockChunks(block)},
                             {"checksum", BlockChecksum(block)}});
  }
  int boot_result = 1;
  BootImage boot;
  if (!options.boot.empty()) {
    boot_result = reader.LoadBootImage(Utf8Path(options.boot), boot);
    ReportFileProblems(options.boot, ToTranslate("boot file"), boot_result < 1);
    out["boot"] = {{"result", boot_result}, {"bytes", boot.Count}};
  }

  if (options.json) {
    Print(stdout, "%s\n", JsonText(out).c_str());
  } else {
    const std::string_view state = result == -1 ? ToTranslate("cannot be read")
                                   : result < 0 ? ToTranslate("bad contents")
                                   : TotalUsedLength(image) == 0
                                       ? ToTranslate("loaded, but no byte lies in the flash")
                                       : ToTranslate("loaded");
    Say(stdout, "Update file %s: %s (result %s)\n",
        {options.update, Tr(state), std::to_string(result)});
    Print(stdout, "%5s  %-8s  %-8s  %-8s  %6s  %8s\n", "block", "base", "size", "used", "chunks",
          "checksum");
    for (int i = 0; i < kFlashBlockCount; ++i) {
      Print(stdout, "%5d  0x%05X   0x%05X   0x%05X   %6d      0x%02X\n", i, FlashBlockTable[i].base,
            FlashBlockTable[i].size, image[i].UsedLength, BlockChunks(image[i]),
            BlockChecksum(image[i]));
    }
    Say(stdout, "Total: %s bytes to send in %s chunks\n",
        {std::to_string(static_cast<long long>(TotalUsedLength(image))),
         std::to_string(static_cast<long long>(TotalUsedLength(image) / kChunkSize))});
    Say(stdout, "Image SHA-256: %s (--expect-sha256 pins it)\n", {sha256});
    if (stamp) {
      const StampPlace place = PlaceOf(*stamp);
      Print(stdout,
            "Serial number: %d bytes at 0x%05X, in block %d (base 0x%05X), chunk %d; the block is "
            "sent up to "
            "the end of that chunk at least\n",
            stamp->width, stamp->address, place.block,
            FlashBlockTable[static_cast<std::size_t>(place.block)].base, place.chunk);
    }
    if (!options.boot.empty()) {
      Say(stdout, "Boot file %s: %s (result %s, %s bytes)\n",
          {options.boot,
           boot_result >= 1    ? Tr("loaded")
           : boot_result == -1 ? Tr("cannot be read")
                               : Tr("not usable"),
           std::to_string(boot_result), std::to_string(boot.Count)});
    }
  }
  if (result == -1) return ExitForMessage(kMsgNoDataFile);
  if (result < 0) return ExitForMessage(kMsgDataFileBad);
  // What flash would say of it: a file that loads but gives the flash nothing is bad.
  if (ReportNoFlashData(image, options.update)) return ExitForMessage(kMsgDataFileBad);
  if (boot_result == -1) return ExitForMessage(kMsgNoBootFile);
  if (boot_result < 1) return ExitForMessage(kMsgBootFileBad);
  return kExitSuccess;
}

}  // namespace

void AddInfoCommand(CLI::App& app, const Context&, int& status) {
  auto options = std::make_shared<InfoOptions>();
  auto* sub = app.add_subcommand("info", "Show how an update file lays out over the twelve erase blocks");
  sub->add_option("UPDATE", options->update, "update file (Motorola S-records)")->required();
  sub->add_option("--boot", options->boot, "also load this boot file");
  sub->add_option("--serial-number", options->serial_number,
                  "show where a station's serial number stamp ADDR:FORMAT lands (block and chunk)");
  sub->add_flag("--json", options->json, "print one JSON object");
  sub->callback([options, &status] { status = RunInfo(*options); });
}

}  // namespace quillon::cli
