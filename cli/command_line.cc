#include "cli/command_line.h"

namespace {

using Mode = RepackCommandArguments::Mode;
using ParseError = RepackCommandParseError;

constexpr std::string_view kUsage =
    "Usage:\n"
    "  VelquorRepack [--model <gemma4|gemma4-qat|qwen36|varnel15|lfm25|brask>] --output "
    "<model.korvex> [--overwrite] [--resume] [--connections <n>] [--source <dir>]\n"
    "  VelquorRepack [--model <gemma4|gemma4-qat|qwen36|varnel15|lfm25|brask>] --dry-run "
    "--output <model.korvex>\n"
    "  VelquorRepack --write-vision --model <gemma4|gemma4-qat> --text-model <text.korvex> "
    "--output <name.vision.korvex> [--overwrite] [--resume] [--connections <n>] [--source <dir>]\n"
    "  VelquorRepack --discard-partial --output <model.korvex>\n"
    "  VelquorRepack --verify-install --input-korvex <model.korvex>\n"
    "  VelquorRepack --verify-vision --input-korvex <name.vision.korvex> --text-model "
    "<text.korvex>\n"
    "  VelquorRepack --help\n"
    "  VelquorRepack --version\n"
    "\n"
    "The installer streams the selected checkpoint (default: the supported Gemma 4\n"
    "checkpoint) from Hugging Face and repackages it without materializing the\n"
    "source checkpoint on disk. Set HF_TOKEN only if Hugging Face requests\n"
    "authentication. A cancelled or interrupted download can be continued with\n"
    "--resume or removed with --discard-partial.\n"
    "\n"
    "Vision-write mode streams only the 358 vision tensors from a pinned Gemma\n"
    "revision into a companion directory bound to an existing text .korvex. Pass\n"
    "--text-model for the text pack and --output for the companion\n"
    "(Name.vision.korvex). --model must be gemma4 or gemma4-qat; every other\n"
    "model is rejected. Use --resume or --overwrite the same way as a text\n"
    "install.";

std::string unknownModelMessage(const std::string& value) {
  std::string message = "unknown model \"" + value + "\"; supported: ";
  bool first = true;
  for (const SupportedModelSource& row : ModelCatalog::all()) {
    if (!first) message += ", ";
    message += row.name;
    first = false;
  }
  return message;
}

void validate(const RepackCommandArguments& a) {
  if (a.resume && a.mode == Mode::discardPartial) {
    throw ParseError::invalidMode("--resume and --discard-partial are mutually exclusive");
  }
  switch (a.mode) {
    case Mode::install:
      if (!a.output) throw ParseError::missingRequired("--output");
      if (a.inputKorvex) throw ParseError::invalidMode("--input-korvex requires --verify-install");
      if (a.textModel) throw ParseError::invalidMode("--text-model requires --write-vision");
      break;
    case Mode::writeVision:
      if (!ModelCatalog::isVisionEligible(a.model)) {
        throw ParseError::invalidMode("vision-write accepts only --model gemma4 or gemma4-qat");
      }
      if (!a.textModel) throw ParseError::missingRequired("--text-model");
      if (!a.output) throw ParseError::missingRequired("--output");
      if (a.inputKorvex) {
        throw ParseError::invalidMode("--input-korvex is not used with --write-vision");
      }
      if (a.dryRun) throw ParseError::invalidMode("vision-write does not accept --dry-run");
      break;
    case Mode::discardPartial:
      if (!a.output) throw ParseError::missingRequired("--output");
      if (a.inputKorvex || a.textModel || a.overwrite || a.connections || a.sourceDirectory) {
        throw ParseError::invalidMode("--discard-partial only accepts --output");
      }
      if (a.dryRun) throw ParseError::invalidMode("--discard-partial does not accept --dry-run");
      break;
    case Mode::verifyInstall:
      if (!a.inputKorvex) throw ParseError::missingRequired("--input-korvex");
      if (a.output || a.textModel || a.overwrite || a.resume || a.connections ||
          a.sourceDirectory) {
        throw ParseError::invalidMode("verification accepts only --input-korvex");
      }
      if (a.dryRun) throw ParseError::invalidMode("verification does not accept --dry-run");
      break;
    case Mode::verifyVision:
      if (!a.inputKorvex) throw ParseError::missingRequired("--input-korvex");
      if (!a.textModel) throw ParseError::missingRequired("--text-model");
      if (a.output || a.overwrite || a.resume || a.connections || a.sourceDirectory) {
        throw ParseError::invalidMode(
            "vision verification accepts only --input-korvex and --text-model");
      }
      if (a.dryRun) throw ParseError::invalidMode("vision verification does not accept --dry-run");
      break;
  }
}

}  // namespace

std::string RepackCommandParseError::description() const {
  switch (kind_) {
    case Case::unknown:
      return "unknown argument: " + payload_;
    case Case::missingValue:
      return "missing value for " + payload_;
    case Case::missingRequired:
      return "missing required argument: " + payload_;
    case Case::invalidMode:
      return payload_;
    case Case::help:
      return "help";
    case Case::version:
      return "version";
  }
  return payload_;
}

RepackCommandArguments parseRepackCommandLine(const std::vector<std::string>& argv) {
  RepackCommandArguments a;
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= argv.size()) throw ParseError::missingValue(arg);
      return argv[++i];
    };
    if (arg == "--help") {
      throw ParseError::help();
    } else if (arg == "--version") {
      throw ParseError::version();
    } else if (arg == "--overwrite") {
      a.overwrite = true;
    } else if (arg == "--resume") {
      a.resume = true;
    } else if (arg == "--discard-partial") {
      a.mode = Mode::discardPartial;
    } else if (arg == "--verify-install") {
      a.mode = Mode::verifyInstall;
    } else if (arg == "--verify-vision") {
      a.mode = Mode::verifyVision;
    } else if (arg == "--write-vision") {
      a.mode = Mode::writeVision;
    } else if (arg == "--dry-run") {
      a.dryRun = true;
    } else if (arg == "--model") {
      const std::string& name = value();
      std::optional<SupportedModelSource> row = ModelCatalog::lookup(name);
      if (!row) throw ParseError::invalidMode(unknownModelMessage(name));
      a.model = std::move(*row);
    } else if (arg == "--source") {
      // A catalogue name keeps its older meaning, another name for --model;
      // anything else is a directory holding the checkpoint.
      const std::string& text = value();
      if (std::optional<SupportedModelSource> row = ModelCatalog::lookup(text)) {
        a.model = std::move(*row);
      } else {
        if (text.empty()) throw ParseError::invalidMode("--source needs a directory");
        a.sourceDirectory = text;
      }
    } else if (arg == "--connections") {
      const std::string& text = value();
      int64_t n = 0;
      const bool digits = !text.empty() && text.size() <= 2 &&
                          text.find_first_not_of("0123456789") == std::string::npos;
      if (digits) n = std::stoll(text);
      if (!digits || n < 1 || n > 64) {
        throw ParseError::invalidMode("--connections must be a number from 1 to 64, not \"" + text +
                                      "\"");
      }
      a.connections = n;
    } else if (arg == "--output") {
      a.output = value();
    } else if (arg == "--input-korvex") {
      a.inputKorvex = value();
    } else if (arg == "--text-model") {
      a.textModel = value();
    } else {
      throw ParseError::unknown(arg);
    }
  }
  validate(a);
  return a;
}

std::string_view repackUsageText() { return kUsage; }

std::string_view repackVersionLine() { return "VelquorRepack " VELQUOR_VERSION; }
