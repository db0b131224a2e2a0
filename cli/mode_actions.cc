#include "cli/mode_actions.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "cli/progress_line.h"
#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/install/streaming_repacker.h"
#include "engine/io/posix.h"
#include "engine/remote/download_session.h"
#include "engine/remote/hugging_face_source.h"
#include "engine/remote/source_byte_provider.h"
#include "engine/source/local_checkpoint.h"
#include "engine/verify/verified_install_tool.h"
#include "engine/vision/remote_vision_companion_installer.h"
#include "engine/vision/vision_pack_verifier.h"

namespace {

using Mode = RepackCommandArguments::Mode;

[[noreturn]] void notAvailable(const char* what) {
  throw std::runtime_error(std::string(what) + " is not available in this build");
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// The hub session every install of this process uses: the default policy,
// SSL_CERT_FILE (when set) as the trusted CA bundle, and the process's
// cancellation token, which SIGINT and SIGTERM set.
std::shared_ptr<const RemoteDownloadSession> commandLineSession() {
  RemoteDownloadSessionOptions options;
  const std::optional<std::string> caBundle = environment("SSL_CERT_FILE");
  if (caBundle && !caBundle->empty()) options.caBundlePath = *caBundle;
  options.cancellation = &CancellationToken::process();
  return std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, options);
}

// HF_ENDPOINT, the hub mirror convention, else the public hub.
std::string hubBaseURL() {
  std::optional<std::string> endpoint = environment("HF_ENDPOINT");
  if (!endpoint || endpoint->empty()) return kDefaultHubBaseURL;
  while (endpoint->size() > 1 && endpoint->back() == '/') endpoint->pop_back();
  return *endpoint;
}

// The progress line: on a terminal, unless HF_HUB_DISABLE_PROGRESS_BARS
// turns the hub tools' progress bars off.
bool progressLineWanted() {
  return isTerminal(STDERR_FILENO) &&
         !environmentFlag(processEnvironment(), "HF_HUB_DISABLE_PROGRESS_BARS");
}

// Where copies already on disk are looked for: the directory given with
// --source, else the hub cache (HF_HUB_CACHE, HF_HOME, XDG_CACHE_HOME,
// HOME); HF_HUB_OFFLINE forbids every request. Warnings about local copies
// go to standard error as they come.
template <typename Options>
void setLocalSources(const RepackCommandArguments& arguments, Options& options) {
  const EnvironmentLookup env = processEnvironment();
  if (arguments.sourceDirectory) {
    options.localDirectory = Posix::standardizedPath(*arguments.sourceDirectory);
  } else {
    options.hubCacheRoot = hubCacheRoot(env);
  }
  options.offline = offlineRequested(env);
  options.warn = [](const std::string& line) {
    const std::string text = "\n" + line + "\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
  };
}

// The byte counts of a run: what the plan takes from the network, then what
// it reads from local copies when there are any.
std::vector<std::string> byteLines(uint64_t plannedBytes, uint64_t localBytes) {
  std::vector<std::string> lines = {"Download bytes: " + std::to_string(plannedBytes - localBytes)};
  if (localBytes > 0) lines.push_back("Local bytes: " + std::to_string(localBytes));
  return lines;
}

std::vector<std::string> install(const RepackCommandArguments& arguments) {
  const SupportedModelSource& model = arguments.model;
  RemoteStreamingRepackOptions options;
  options.repoID = model.repoID;
  options.revision = model.revision;
  options.outputDir = Posix::standardizedPath(*arguments.output);
  options.token = hubToken(processEnvironment());
  options.requireKnownSource = true;
  options.rangeChunkBytes = 67108864;
  options.writeTileBytes = 524288;
  options.minFreeReserveBytes = model.reserveBytes;
  options.overwrite = arguments.overwrite;
  options.connections = arguments.connections.value_or(kDefaultConnections);
  options.resume = arguments.resume;
  options.dryRunSpaceCheck = arguments.dryRun;
  setLocalSources(arguments, options);
  options.downloadSession = commandLineSession();
  options.baseURL = hubBaseURL();
  options.rangeRetryAttempts = 4;
  options.retryBaseDelayNs = 1000000000;

  RepackAudit audit;
  RemoteStreamingRepackResult result;
  {
    TerminalProgressLine line(STDERR_FILENO, progressLineWanted());
    RemoteStreamingRepacker repacker(options, audit);
    result = repacker.run(line.handler());
  }
  std::vector<std::string> lines = {
      (arguments.dryRun ? "Validated " : "Installed ") + model.displayName,
      "Source revision: " + result.resolvedCommit};
  for (std::string& line : byteLines(result.remoteBytesToDownload, result.localBytes)) {
    lines.push_back(std::move(line));
  }
  lines.push_back("Model: " + result.outputDir);
  return lines;
}

// Streams the vision tower of a Gemma 4 row into a companion bound to the
// text package, with the install's transfer settings and environment.
std::vector<std::string> writeVision(const RepackCommandArguments& arguments) {
  const SupportedModelSource& model = arguments.model;
  if (!ModelCatalog::isVisionEligible(model)) {
    throw RepackError(
        RepackError::ConfigurationInvalid{"vision-write accepts only gemma4 or gemma4-qat"});
  }
  RemoteVisionCompanionOptions options;
  options.repoID = model.repoID;
  options.revision = model.revision;
  options.textModelDirectory = Posix::standardizedPath(*arguments.textModel);
  options.outputDirectory = Posix::standardizedPath(*arguments.output);
  options.token = hubToken(processEnvironment());
  options.rangeChunkBytes = 67108864;
  options.writeTileBytes = 524288;
  options.minFreeReserveBytes = model.reserveBytes;
  options.overwrite = arguments.overwrite;
  options.connections = arguments.connections.value_or(kDefaultConnections);
  options.resume = arguments.resume;
  setLocalSources(arguments, options);
  options.downloadSession = commandLineSession();
  options.baseURL = hubBaseURL();
  options.rangeRetryAttempts = 4;
  options.retryBaseDelayNs = 1000000000;

  RepackAudit audit;
  RemoteVisionCompanionResult result;
  {
    TerminalProgressLine line(STDERR_FILENO, progressLineWanted());
    RemoteVisionCompanionInstaller installer(options, audit);
    result = installer.run(line.handler());
  }
  std::vector<std::string> lines = {"Installed vision companion for " + model.displayName,
                                    "Source revision: " + result.resolvedCommit};
  for (std::string& line : byteLines(result.remoteBytesToDownload, result.localBytes)) {
    lines.push_back(std::move(line));
  }
  lines.push_back("Companion: " + result.outputDir);
  return lines;
}

}  // namespace

std::vector<std::string> runModeAction(const RepackCommandArguments& arguments) {
  switch (arguments.mode) {
    case Mode::install:
      return install(arguments);
    case Mode::writeVision:
      return writeVision(arguments);
    case Mode::discardPartial:
      RemoteStreamingRepacker::discardSavedDownload(*arguments.output);
      return {"Discarded saved download for " + *arguments.output};
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
