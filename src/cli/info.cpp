// quillon-cli info: how an update file (and a boot file) load, block by block.

#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/messages.h"
#include "base/program_paths.h"
#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/file_report.h"
#include "image/srecord.h"

namespace quillon::cli {
namespace {

struct InfoOptions {
  std::string update;
  std::string boot;
  bool json = false;
};

int RunInfo(const InfoOptions& options) {
  SRecordReader reader;
  FlashImage image;
  SRecordDiagnosis diagnosis;
  const int result = reader.LoadFlashImage(image, Utf8Path(options.update), &diagnosis);
  ReportLoadedFile(result, diagnosis, options.update, "update file");

  nlohmann::ordered_json out;
  out["result"] = result;
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
    ReportFileProblems(options.boot, "boot file", boot_result < 1);
    out["boot"] = {{"result", boot_result}, {"bytes", boot.Count}};
  }

  if (options.json) {
    std::cout << JsonText(out) << '\n';
  } else {
    const char* state = result == -1 ? "cannot be read"
                        : result < 0     ? "bad contents"
                        : TotalUsedLength(image) == 0 ? "loaded, but no byte lies in the flash"
                                                      : "loaded";
    std::printf("Update file %s: %s (result %d)\n", options.update.c_str(), state, result);
    std::printf("%5s  %-8s  %-8s  %-8s  %6s  %8s\n", "block", "base", "size", "used", "chunks",
                "checksum");
    for (int i = 0; i < kFlashBlockCount; ++i) {
      std::printf("%5d  0x%05X   0x%05X   0x%05X   %6d      0x%02X\n", i, FlashBlockTable[i].base,
                  FlashBlockTable[i].size, image[i].UsedLength, BlockChunks(image[i]),
                  BlockChecksum(image[i]));
    }
    std::printf("Total: %lld bytes to send in %lld chunks\n",
                static_cast<long long>(TotalUsedLength(image)),
                static_cast<long long>(TotalUsedLength(image) / kChunkSize));
    if (!options.boot.empty()) {
      std::printf("Boot file %s: %s (result %d, %d bytes)\n", options.boot.c_str(),
                  boot_result >= 1 ? "loaded" : boot_result == -1 ? "cannot be read" : "not usable",
                  boot_result, boot.Count);
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
  sub->add_flag("--json", options->json, "print one JSON object");
  sub->callback([options, &status] { status = RunInfo(*options); });
}

}  // namespace quillon::cli
