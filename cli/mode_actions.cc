#include "cli/mode_actions.h"

#include <stdexcept>

namespace {

using Mode = RepackCommandArguments::Mode;

[[noreturn]] void notAvailable(const char* what) {
  throw std::runtime_error(std::string(what) + " is not available in this build");
}

}  // namespace

std::vector<std::string> runModeAction(const RepackCommandArguments& arguments) {
  switch (arguments.mode) {
    case Mode::install:
      notAvailable(arguments.dryRun ? "dry run" : "install");
    case Mode::writeVision:
      notAvailable("vision-write");
    case Mode::discardPartial:
      notAvailable("discard");
    case Mode::verifyInstall:
      notAvailable("verification");
  }
  notAvailable("this mode");
}

std::string_view failurePrefix(Mode mode) {
  switch (mode) {
    case Mode::install:
      return "install failed: ";
    case Mode::writeVision:
      return "vision-write failed: ";
    case Mode::discardPartial:
      return "discard failed: ";
    case Mode::verifyInstall:
      return "verification failed: ";
  }
  return "failed: ";
}
