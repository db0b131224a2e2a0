// One action per command-line mode. Each returns the lines to print on
// success or throws; the caller prints a failure with the mode's prefix.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"

std::vector<std::string> runModeAction(const RepackCommandArguments& arguments);

// "install failed: ", "vision-write failed: ", "discard failed: " or, for
// both verification modes, "verification failed: ".
std::string_view failurePrefix(RepackCommandArguments::Mode mode);
