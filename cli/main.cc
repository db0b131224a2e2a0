// Entry point of VelquorRepack: parse, run one mode action, print, exit.
// Exit status 0 on success, --help or --version, 1 when an action failed, 2 for a
// command-line error. Standard error gets each message as one write.

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/mode_actions.h"
#include "engine/common/cancellation.h"
#include "engine/common/process_memory.h"

namespace {

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to report to
    done += static_cast<size_t>(n);
  }
}

int run(const std::vector<std::string>& argv) {
  RepackCommandArguments arguments;
  try {
    arguments = parseRepackCommandLine(argv);
  } catch (const RepackCommandParseError& error) {
    const std::string usage(repackUsageText());
    if (error.kind() == RepackCommandParseError::Case::help) {
      writeAll(STDOUT_FILENO, usage + "\n");
      return 0;
    }
    if (error.kind() == RepackCommandParseError::Case::version) {
      writeAll(STDOUT_FILENO, std::string(repackVersionLine()) + "\n");
      return 0;
    }
    writeAll(STDERR_FILENO, "error: " + error.description() + "\n\n" + usage + "\n");
    return 2;
  }

  // Ctrl-C and SIGTERM end a run at its next cancellation point, so an
  // interrupted install leaves a saved download that --resume continues.
  installCancellationSignalHandlers();
  try {
    std::string out;
    for (const std::string& line : runModeAction(arguments)) out += line + "\n";
    writeAll(STDOUT_FILENO, out);
    return 0;
  } catch (const std::exception& error) {
    writeAll(STDERR_FILENO, std::string(failurePrefix(arguments.mode)) + error.what() + "\n");
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ProcessMemory::returnLargeBlocksToSystem();
  return run(std::vector<std::string>(argv, argv + argc));
}
