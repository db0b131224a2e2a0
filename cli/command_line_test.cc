#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Mode = RepackCommandArguments::Mode;
using ParseError = RepackCommandParseError;

RepackCommandArguments parse(std::vector<std::string> args) {
  args.insert(args.begin(), "VelquorRepack");
  return parseRepackCommandLine(args);
}

struct RejectCase {
  std::vector<std::string> args;
  std::string description;
};

TEST(CommandLine, RejectsWithTheFirstFailingRule) {
  const std::string unknownModel =
      "unknown model \"Gemma4\"; supported: gemma4, gemma4-qat, qwen36, varnel15, lfm25, brask";
  const std::vector<RejectCase> cases = {
      {{}, "missing required argument: --output"},
      {{"--bogus", "--help"}, "unknown argument: --bogus"},
      {{"--bogus", "--version"}, "unknown argument: --bogus"},
      {{"-V"}, "unknown argument: -V"},
      {{"--output=x"}, "unknown argument: --output=x"},
      {{"-h"}, "unknown argument: -h"},
      {{"--model"}, "missing value for --model"},
      {{"--output", "x", "--source"}, "missing value for --source"},
      {{"--model", "Gemma4", "--output", "x"}, unknownModel},
      // Validation runs only after the whole vector parsed.
      {{"--input-korvex", "k", "--bogus"}, "unknown argument: --bogus"},
      // Mutual exclusion wins even over a missing --output.
      {{"--discard-partial", "--resume"}, "--resume and --discard-partial are mutually exclusive"},
      {{"--output", "x", "--input-korvex", "k"}, "--input-korvex requires --verify-install"},
      {{"--output", "x", "--text-model", "t"}, "--text-model requires --write-vision"},
      {{"--write-vision", "--model", "qwen36"},
       "vision-write accepts only --model gemma4 or gemma4-qat"},
      {{"--write-vision"}, "missing required argument: --text-model"},
      {{"--write-vision", "--text-model", "t"}, "missing required argument: --output"},
      {{"--write-vision", "--text-model", "t", "--output", "o", "--input-korvex", "k"},
       "--input-korvex is not used with --write-vision"},
      {{"--write-vision", "--text-model", "t", "--output", "o", "--dry-run"},
       "vision-write does not accept --dry-run"},
      {{"--discard-partial"}, "missing required argument: --output"},
      {{"--discard-partial", "--output", "o", "--overwrite"},
       "--discard-partial only accepts --output"},
      {{"--discard-partial", "--output", "o", "--text-model", "t"},
       "--discard-partial only accepts --output"},
      {{"--discard-partial", "--output", "o", "--dry-run"},
       "--discard-partial does not accept --dry-run"},
      {{"--discard-partial", "--output", "o", "--connections", "2"},
       "--discard-partial only accepts --output"},
      {{"--output", "o", "--connections"}, "missing value for --connections"},
      {{"--discard-partial", "--output", "o", "--source", "/ckpt"},
       "--discard-partial only accepts --output"},
      {{"--verify-install", "--input-korvex", "k", "--source", "/ckpt"},
       "verification accepts only --input-korvex"},
      {{"--output", "o", "--source", ""}, "--source needs a directory"},
      {{"--output", "o", "--connections", "0"},
       "--connections must be a number from 1 to 64, not \"0\""},
      {{"--output", "o", "--connections", "65"},
       "--connections must be a number from 1 to 64, not \"65\""},
      {{"--output", "o", "--connections", "+8"},
       "--connections must be a number from 1 to 64, not \"+8\""},
      {{"--output", "o", "--connections", "008"},
       "--connections must be a number from 1 to 64, not \"008\""},
      {{"--verify-install"}, "missing required argument: --input-korvex"},
      {{"--verify-install", "--input-korvex", "k", "--resume"},
       "verification accepts only --input-korvex"},
      {{"--verify-install", "--input-korvex", "k", "--output", "o"},
       "verification accepts only --input-korvex"},
      {{"--verify-install", "--input-korvex", "k", "--dry-run"},
       "verification does not accept --dry-run"},
      {{"--verify-vision"}, "missing required argument: --input-korvex"},
      {{"--verify-vision", "--input-korvex", "k"}, "missing required argument: --text-model"},
      {{"--verify-vision", "--text-model", "t"}, "missing required argument: --input-korvex"},
      {{"--verify-vision", "--input-korvex", "k", "--text-model", "t", "--output", "o"},
       "vision verification accepts only --input-korvex and --text-model"},
      {{"--verify-vision", "--input-korvex", "k", "--text-model", "t", "--overwrite"},
       "vision verification accepts only --input-korvex and --text-model"},
      {{"--verify-vision", "--input-korvex", "k", "--text-model", "t", "--resume"},
       "vision verification accepts only --input-korvex and --text-model"},
      {{"--verify-vision", "--input-korvex", "k", "--text-model", "t", "--dry-run"},
       "vision verification does not accept --dry-run"},
      {{"--verify-vision", "--discard-partial", "--resume"},
       "--resume and --discard-partial are mutually exclusive"},
      {{"--verify-install", "--input-korvex", "k", "--text-model", "t"},
       "verification accepts only --input-korvex"},
      // The last of the mode flags decides the mode.
      {{"--verify-install", "--input-korvex", "k", "--discard-partial", "--write-vision",
        "--verify-install", "--discard-partial", "--model", "brask", "--resume"},
       "--resume and --discard-partial are mutually exclusive"},
  };
  for (const RejectCase& c : cases) {
    std::ostringstream label;
    for (const std::string& a : c.args) label << a << ' ';
    try {
      parse(c.args);
      ADD_FAILURE() << "accepted: " << label.str();
    } catch (const ParseError& e) {
      EXPECT_EQ(e.description(), c.description) << label.str();
    }
  }
}

TEST(CommandLine, HelpAndVersionStopAtOnce) {
  struct StopCase {
    std::vector<std::string> args;
    ParseError expected;
    std::string description;
  };
  for (const StopCase& c : std::vector<StopCase>{
           {{"--help", "--bogus"}, ParseError::help(), "help"},
           {{"--version", "--bogus"}, ParseError::version(), "version"},
           {{"--output", "x", "--version", "--help"}, ParseError::version(), "version"},
           {{"--discard-partial", "--resume", "--help", "--version"}, ParseError::help(), "help"},
       }) {
    try {
      parse(c.args);
      ADD_FAILURE() << "accepted: " << c.description;
    } catch (const ParseError& e) {
      EXPECT_EQ(e, c.expected) << c.description;
      EXPECT_EQ(e.description(), c.description);
    }
  }
}

TEST(CommandLine, VersionLineNamesTheProgramAndItsVersion) {
  const std::string line(repackVersionLine());
  EXPECT_TRUE(line.starts_with("VelquorRepack ")) << line;
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const std::string version = line.substr(std::string("VelquorRepack ").size());
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(version.find_first_not_of("0123456789."), std::string::npos) << line;
}

TEST(CommandLine, AcceptedCombinations) {
  RepackCommandArguments a = parse({"--output", "--resume"});
  EXPECT_EQ(a.mode, Mode::install);
  EXPECT_EQ(a.output, "--resume");  // a value is always the next element
  EXPECT_FALSE(a.resume);
  EXPECT_EQ(a.model, ModelCatalog::defaultSource());

  a = parse(
      {"--model", "qat", "--output", "a", "--output", "b", "--dry-run", "--overwrite", "--resume"});
  EXPECT_EQ(a.model.name, "gemma4-qat");
  EXPECT_EQ(a.output, "b");
  EXPECT_TRUE(a.dryRun && a.overwrite && a.resume);
  EXPECT_EQ(a.connections, std::nullopt);
  EXPECT_EQ(parse({"--output", "x", "--connections", "64"}).connections, 64);
  EXPECT_EQ(parse({"--output", "x", "--connections", "1"}).connections, 1);

  EXPECT_EQ(parse({"--source", "standard", "--output", "x"}).model.name, "gemma4");
  EXPECT_EQ(parse({"--source", "standard", "--output", "x"}).sourceDirectory, std::nullopt);
  a = parse({"--model", "brask", "--source", "/data/brask", "--output", "x"});
  EXPECT_EQ(a.model.name, "brask");
  EXPECT_EQ(a.sourceDirectory, "/data/brask");
  EXPECT_EQ(parse({"--source", "./brask", "--output", "x"}).sourceDirectory, "./brask");

  a = parse({"--verify-install", "--input-korvex", "k", "--model", "brask"});
  EXPECT_EQ(a.mode, Mode::verifyInstall);
  EXPECT_EQ(a.inputKorvex, "k");
  EXPECT_EQ(a.model.name, "brask");

  a = parse({"--write-vision", "--model", "gemma4-qat", "--text-model", "t", "--output", "o",
             "--resume", "--overwrite"});
  EXPECT_EQ(a.mode, Mode::writeVision);
  EXPECT_EQ(a.textModel, "t");

  a = parse({"--discard-partial", "--output", "o", "--model", "lfm25"});
  EXPECT_EQ(a.mode, Mode::discardPartial);

  a = parse({"--write-vision", "--input-korvex", "c", "--text-model", "t", "--verify-vision",
             "--model", "qwen36"});
  EXPECT_EQ(a.mode, Mode::verifyVision);
  EXPECT_EQ(a.inputKorvex, "c");
  EXPECT_EQ(a.textModel, "t");
}

TEST(CommandLine, UsageTextHasTwentyTwoLinesAndNoTrailingNewline) {
  const std::string usage(repackUsageText());
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 21);
  EXPECT_NE(usage.find("\n  VelquorRepack --verify-install --input-korvex <model.korvex>\n"
                       "  VelquorRepack --verify-vision --input-korvex <name.vision.korvex> "
                       "--text-model <text.korvex>\n  VelquorRepack --help\n"
                       "  VelquorRepack --version\n\nThe installer streams"),
            std::string::npos);
  EXPECT_NE(usage.back(), '\n');
  EXPECT_TRUE(usage.starts_with("Usage:\n  VelquorRepack [--model "));
  EXPECT_TRUE(usage.ends_with("\ninstall."));
}

}  // namespace
