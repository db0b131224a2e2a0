#include "engine/common/cancellation.h"

#include <csignal>

CancellationToken& CancellationToken::process() {
  static CancellationToken token;
  return token;
}

namespace {

extern "C" void cancelOnSignal(int) { CancellationToken::process().cancel(); }

}  // namespace

void installCancellationSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = cancelOnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR promptly
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}
