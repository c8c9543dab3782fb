#pragma once
// `zarvek send`: files from any folders, checked before anything is sent, then
// sent over one port in batches the sending engine understands.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/terminal.h"

namespace zarvek::cli {

struct SendOptions {
  std::string port;
  int32_t speed = 0;
  int32_t retryLimit = 0;
  std::vector<std::string> files;
  std::string linePrefix;  // "sender: " in the demo
};

// A selection in the form the engine takes ("folder\0name\0name\0\0") and the
// files it names, in order.
struct SendBatch {
  std::string selection;
  int32_t nextName = 0;
  std::vector<std::string> paths;  // folder + name, as the engine joins them
};

// Files of one root (Linux "/", Windows a drive or share) go into one batch
// whose folder is that root and whose names are the rest of each path, so one
// batch holds files of many folders. A new batch begins where the root changes
// or the selection would outgrow its 25,600 bytes; the order is kept.
// Paths must be absolute.
std::vector<SendBatch> planSendBatches(const std::vector<std::filesystem::path>& files);

// Each named file made absolute, or the reasons it cannot be sent (missing,
// not a regular file, unreadable, too large, name too long), one per file.
struct CheckedFiles {
  std::vector<std::filesystem::path> paths;
  std::vector<std::string> problems;
};
CheckedFiles checkFilesToSend(const std::vector<std::string>& files);

int runSend(const SendOptions& options, Terminal& terminal, InterruptGuard& interrupts);

}  // namespace zarvek::cli
