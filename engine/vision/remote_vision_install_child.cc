// velquor-vision-install-child: one companion install in a process of its
// own, for tests that kill an install at an arbitrary moment (kill -9) and
// resume it. Unlike `VelquorRepack --write-vision` it accepts a generated
// checkpoint: the known-source table holds exactly the digest given.
//
//   velquor-vision-install-child --base-url URL --ca PEM --repo OWNER/NAME
//     --revision REV --token T --text-model DIR --output DIR
//     --known SHA256=MODEL-ID [--chunk BYTES] [--resume]
//
// Prints "ok <downloaded bytes>" on success; "error: <text>" and status 1 on
// failure; status 2 for a bad command line.

#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include "engine/remote/download_session.h"
#include "engine/vision/remote_vision_companion_installer.h"

int main(int argc, char** argv) {
  std::map<std::string, std::string> values;
  bool resume = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--resume") {
      resume = true;
    } else if (arg.starts_with("--") && i + 1 < argc) {
      values[arg.substr(2)] = argv[++i];
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  for (const char* required :
       {"base-url", "ca", "repo", "revision", "token", "text-model", "output", "known"}) {
    if (!values.contains(required)) {
      std::fprintf(stderr, "missing --%s\n", required);
      return 2;
    }
  }
  const std::string& known = values.at("known");
  const size_t eq = known.find('=');
  if (eq == std::string::npos) {
    std::fprintf(stderr, "--known takes SHA256=MODEL-ID\n");
    return 2;
  }

  RemoteDownloadSessionOptions sessionOptions;
  sessionOptions.caBundlePath = values.at("ca");
  RemoteVisionCompanionOptions options;
  options.repoID = values.at("repo");
  options.revision = values.at("revision");
  options.textModelDirectory = values.at("text-model");
  options.outputDirectory = values.at("output");
  options.token = values.at("token");
  if (values.contains("chunk")) options.rangeChunkBytes = std::stoll(values.at("chunk"));
  options.minFreeReserveBytes = 0;
  options.resume = resume;
  options.downloadSession =
      std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, sessionOptions);
  options.baseURL = values.at("base-url");
  options.knownSources = KnownSourceTable{{known.substr(0, eq), known.substr(eq + 1)}};
  try {
    RepackAudit audit;
    RemoteVisionCompanionInstaller installer(options, audit);
    const RemoteVisionCompanionResult result = installer.run({});
    std::printf("ok %llu\n", static_cast<unsigned long long>(result.downloadedThisRunBytes));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
}
