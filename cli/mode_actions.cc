#include "cli/mode_actions.h"

#include <stdexcept>

#include "engine/verify/verified_install_tool.h"
#include "engine/vision/vision_pack_verifier.h"

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
    case Mode::verifyInstall: {
      const VerifyInstallResult result = VerifiedInstallTool::run({*arguments.inputKorvex});
      return {"Verified " + std::to_string(result.fileCount) + " files (" +
                  std::to_string(result.bytesVerified) + " bytes)",
              "Receipt: " + result.receiptPath};
    }
    case Mode::verifyVision: {
      const VisionPackVerification result =
          VisionPackVerifier::verify(*arguments.inputKorvex, *arguments.textModel, true);
      return {
          "Verified vision companion (" + std::to_string(result.weightsBytes) + " weight bytes)",
          "Text binding: " + result.compatibleTextManifestSha256};
    }
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
    case Mode::verifyVision:
      return "verification failed: ";
  }
  return "failed: ";
}
