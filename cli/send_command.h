#pragma once
// `zarvek send`: files from any folders, and folders whole, each file checked
// as the sender would check it before anything is sent, then sent as one batch
// over one port.
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

// Each named file made absolute, each named folder as the files and folders
// in it (TransferJob::files and wirePaths), or why one cannot be sent, a line
// each; and a line for each link or device in a folder, which does not go.
struct CheckedFiles {
  std::vector<std::string> paths;
  std::vector<std::string> wirePaths;
  std::vector<std::string> problems;
  std::vector<std::string> leftOut;
};
CheckedFiles checkFilesToSend(const std::vector<std::string>& chosen);

int runSend(const SendOptions& options, Terminal& terminal, InterruptGuard& interrupts);

}  // namespace zarvek::cli
