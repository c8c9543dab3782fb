#pragma once
// `zarvek demo`, the main job of ./run.sh: a paced virtual cable, a receiver
// into a fresh folder and a sender with sample files from two folders, in one
// process; then the copies are compared with the originals. Linux only.
#include <cstdint>

#include "cli/console.h"
#include "cli/terminal.h"

namespace zarvek::cli {

struct DemoOptions {
  int32_t speed = 115200;
};

int runDemo(const DemoOptions& options, Terminal& terminal, InterruptGuard& interrupts);

}  // namespace zarvek::cli
