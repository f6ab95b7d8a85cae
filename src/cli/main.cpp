#include <algorithm>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "base/system.h"
#include "base/version.h"
#include "report/words.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "cli/station_config.h"

namespace {

using namespace quillon::cli;

// The subcommands, in the order --help lists them.
struct Command {
  const char* name;
  AddCommand add;
  bool stops_in_order;  ///< a signal asks its ports to stop instead of ending the program
};

constexpr Command kCommands[] = {
    {"info", AddInfoCommand, false},   {"image", AddImageCommand, false},
    {"settings", AddSettingsCommand, false}, {"ports", AddPortsCommand, false},
    {"flash", AddFlashCommand, true},  {"doctor", AddDoctorCommand, false},
    {"station", AddStationCommand, true}, {"history", AddHistoryCommand, false},
    {"fleet", AddFleetCommand, false}, {"pool", AddPoolCommand, false},
};

// A mistyped command: say so and list the commands (CLI11 would only call it unexpected).
bool KnownCommand(CLI::App& app, int argc, char** argv) {
  const auto commands = app.get_subcommands([](const CLI::App*) { return true; });
  const bool known = argc < 2 || argv[1][0] == '-' ||
                     std::any_of(commands.begin(), commands.end(), [&](const CLI::App* sub) { return sub->get_name() == argv[1]; });
  if (known) return true;
  std::string names;
  for (const auto* sub : commands) names += " " + sub->get_name();
  std::cerr << quillon::TrF(
      "quillon-cli: unknown command \"%s\"; the commands are:%s\nquillon-cli --help tells "
      "more.\n",
      {argv[1], names});
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else: no signal may end the program unseen, and nothing opened later may
  // take the number of a closed standard stream.
  InstallInterruptHandlers();
  quillon::EnsureStandardStreams();
  quillon::SetLanguage(quillon::UserLanguage());
  // The writers of standard output and error, joined at the end of main once `drain` has
  // given them their last half second.
  const std::jthread out_writer([] { StandardOutput().RunWriter(); });
  const std::jthread err_writer([] { StandardError().RunWriter(); });
  const DrainAtEnd drain;
  CLI::App app{"quillon-cli: rewrites the flash of an H8S device over a serial port", "quillon-cli"};
  app.set_version_flag("--version", std::string("quillon-cli ") + quillon::kVersion);
  app.footer(std::string(kExitStatusHelp));
  app.require_subcommand(1);
  int status = kExitSuccess;
  const Context context = MakeContext();
  for (const auto& command : kCommands) command.add(app, context, status);
  // Every path and name in UTF-8, whatever the ANSI code page can hold.
  std::vector<std::string> utf8 = Utf8Arguments(argc, argv);
  std::vector<char*> pointers;
  for (auto& argument : utf8) pointers.push_back(argument.data());
  argc = static_cast<int>(pointers.size());
  argv = pointers.data();
  if (!KnownCommand(app, argc, argv)) return kExitUsage;
  // station --config FILE: the file's options go in before the command line's.
  if (argc >= 2 && argv[1] == std::string_view("station")) {
    std::string error;
    const auto with_config =
        WithStationConfig(*app.get_subcommand("station"), {utf8.begin() + 2, utf8.end()}, error);
    if (!with_config) {
      std::cerr << quillon::TrF("error: %s\n", {error});
      return kExitUsage;
    }
    utf8.resize(2);
    utf8.insert(utf8.end(), with_config->begin(), with_config->end());
    pointers.clear();
    for (auto& argument : utf8) pointers.push_back(argument.data());
    argc = static_cast<int>(pointers.size());
    argv = pointers.data();
  }
  // Only an update has ports to stop in order; every other command ends at a signal.
  const bool stops_in_order = argc >= 2 && std::any_of(std::begin(kCommands), std::end(kCommands), [&](const Command& c) {
                                return c.stops_in_order && argv[1] == std::string_view(c.name);
                              });
  if (stops_in_order) {
    StopOnInterrupt();
  } else {
    EndOnInterrupt();
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "quillon-cli: " << e.what() << '\n';
    return kExitFailure;
  }
  return status;
}
