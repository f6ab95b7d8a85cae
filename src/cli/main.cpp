#include <iostream>
#include <string>

#include "cli/commands.h"
#include "cli/exit_status.h"

int main(int argc, char** argv) {
  using namespace quillon::cli;
  CLI::App app{"quillon-cli: rewrites the flash of an H8S device over a serial port"};
  app.footer(std::string(kExitStatusHelp));
  app.require_subcommand(1);
  int status = kExitSuccess;
  AddInfoCommand(app, status);
  AddImageCommand(app, status);
  AddSettingsCommand(app, status);
  AddPortsCommand(app, status);
  AddFlashCommand(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
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
