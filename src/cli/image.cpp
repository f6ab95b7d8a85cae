// quillon-cli image: the 0x40000-byte flash image an update file gives.

#include <cstdio>
#include <iostream>
#include <memory>

#include "base/messages.h"
#include "base/program_paths.h"
#include "base/replace_file.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/file_report.h"
#include "cli/output.h"
#include "image/srecord.h"

namespace quillon::cli {
namespace {

struct ImageOptions {
  std::string update;
  std::string output;
};

int RunImage(const ImageOptions& options) {
  FlashImage image;
  SRecordDiagnosis diagnosis;
  const int result = SRecordReader().LoadFlashImage(image, Utf8Path(options.update), &diagnosis);
  ReportLoadedFile(result, diagnosis, options.update, ToTranslate("update file"));
  if (result < 0) {
    Say(stderr, "nothing written to %s\n", {options.output});
    return ExitForMessage(result == -1 ? kMsgNoDataFile : kMsgDataFileBad);
  }
  if (ReportNoFlashData(image, options.update)) {
    Say(stderr, "nothing written to %s\n", {options.output});
    return ExitForMessage(kMsgDataFileBad);
  }
  const auto flat = FlattenFlashImage(image);
  if (options.output == "-") {
    // Standard output, in binary on every platform.
    BinaryStandardOutput();
    if (std::fwrite(flat.data(), 1, flat.size(), stdout) != flat.size() || std::fflush(stdout) != 0) {
      Say(stderr, "error: cannot write the image to standard output\n");
      return kExitFailure;
    }
    return kExitSuccess;
  }
  std::string why;
  if (!ReplaceFileContents(Utf8Path(options.output), {reinterpret_cast<const char*>(flat.data()), flat.size()}, &why)) {
    Say(stderr, "error: cannot write %s: %s\n", {options.output, why});
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace

void AddImageCommand(CLI::App& app, const Context&, int& status) {
  auto options = std::make_shared<ImageOptions>();
  auto* sub = app.add_subcommand("image", "Write the 256 KB flash image an update file gives (0xFF fill)");
  sub->add_option("UPDATE", options->update, "update file (Motorola S-records)")->required();
  sub->add_option("--output,-o", options->output, "flash image to write (0x40000 bytes); - for standard output")->required();
  sub->callback([options, &status] { status = RunImage(*options); });
}

}  // namespace quillon::cli
