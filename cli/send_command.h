#pragma once
// `zarvek send`: files from any folders, each checked as the sender would
// check it before anything is sent, then sent as one batch over one port.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/terminal.h"

namespace zarvek::cli {

struct SendOptions {
  std::string port;
  int32_t speed = 0;
  int32_t retryLimit = 0;
  bool verify = true;  // offer each file verified (a classic receiver declines)
  bool stream = true;  // and ask to stream it (a receiver may decline)
  std::vector<std::string> files;
  std::string linePrefix;  // "sender: " in the demo
};

// Each named file made absolute, or why it cannot be sent, one line per file.
struct CheckedFiles {
  std::vector<std::string> paths;
  std::vector<std::string> problems;
};
CheckedFiles checkFilesToSend(const std::vector<std::string>& files);

int runSend(const SendOptions& options, Terminal& terminal, InterruptGuard& interrupts);

}  // namespace zarvek::cli
