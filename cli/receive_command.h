#pragma once
// `zarvek receive`: files into one folder until interrupted, or until a given
// number of files has ended.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "cli/console.h"
#include "cli/terminal.h"

namespace zarvek::cli {

// Lets another thread end a receive in progress (the demo, once its sender
// is done), safely also before it began or after it ended.
class ReceiveStopper {
 public:
  void stop();
  void attach(std::atomic<uint8_t>* running);  // nullptr detaches

 private:
  std::mutex mutex_;
  std::atomic<uint8_t>* running_ = nullptr;
  bool stopped_ = false;
};

struct ReceiveOptions {
  std::string port;
  int32_t speed = 0;
  bool verify = true;  // take a Zarvek sender's offer of verified files
  bool stream = true;  // and its ask to stream them
  bool resume = true;  // keep a verified file cut off, to take it up when it comes again
  std::string folder;  // empty: the current folder
  int files = 0;       // 0: until interrupted
  bool banner = true;  // say where and how it waits, once the port is open
  std::string linePrefix;           // "receiver: " in the demo
  bool liveLine = true;             // false: the live line belongs to a sender beside it
  std::function<void()> onWaiting;  // the port is open and set: a sender may start
  ReceiveStopper* stopper = nullptr;
};

int runReceive(const ReceiveOptions& options, Terminal& terminal, InterruptGuard& interrupts);

}  // namespace zarvek::cli
