// The command-line grammar: arguments are whole strings, an option's value is
// always the next element, and the last occurrence of an option wins.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/catalog.h"

struct RepackCommandArguments {
  enum class Mode { install, writeVision, discardPartial, verifyInstall, verifyVision };

  Mode mode = Mode::install;
  SupportedModelSource model = ModelCatalog::defaultSource();
  std::optional<std::string> output;
  std::optional<std::string> textModel;
  bool overwrite = false;
  bool resume = false;
  bool dryRun = false;
  std::optional<int64_t> connections;  // --connections, 1..64
  // --source with a directory (a value that is not a catalogue name): the
  // checkpoint is read from there instead of the hub.
  std::optional<std::string> sourceDirectory;
  std::optional<std::string> inputKorvex;

  bool operator==(const RepackCommandArguments&) const = default;
};

class RepackCommandParseError : public std::exception {
 public:
  enum class Case { unknown, missingValue, missingRequired, invalidMode, help, version };

  static RepackCommandParseError unknown(std::string argument) {
    return {Case::unknown, std::move(argument)};
  }
  static RepackCommandParseError missingValue(std::string option) {
    return {Case::missingValue, std::move(option)};
  }
  static RepackCommandParseError missingRequired(std::string option) {
    return {Case::missingRequired, std::move(option)};
  }
  static RepackCommandParseError invalidMode(std::string message) {
    return {Case::invalidMode, std::move(message)};
  }
  static RepackCommandParseError help() { return {Case::help, ""}; }
  static RepackCommandParseError version() { return {Case::version, ""}; }

  Case kind() const { return kind_; }
  const std::string& payload() const { return payload_; }
  std::string description() const;
  const char* what() const noexcept override { return "command-line parse error"; }

  bool operator==(const RepackCommandParseError& other) const {
    return kind_ == other.kind_ && payload_ == other.payload_;
  }

 private:
  RepackCommandParseError(Case kind, std::string payload)
      : kind_(kind), payload_(std::move(payload)) {}

  Case kind_;
  std::string payload_;
};

// Parses argv (element 0, the program path, is skipped) and validates the
// result. Throws RepackCommandParseError.
RepackCommandArguments parseRepackCommandLine(const std::vector<std::string>& argv);

// The twenty-two-line usage text, without a trailing newline.
std::string_view repackUsageText();

// What --version prints: "VelquorRepack <version>", without a newline.
std::string_view repackVersionLine();
