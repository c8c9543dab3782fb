#include "cli/demo.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "cable/cable.h"
#include "cli/exit_codes.h"
#include "cli/receive_command.h"
#include "cli/send_command.h"

namespace fs = std::filesystem;

namespace zarvek::cli {
namespace {

struct Sample {
  const char* path;  // under the outbox
  size_t size;
  bool text;
};

// About 160 KiB in all: some 15 s at 115200 bit/s, from two folders.
constexpr Sample kSamples[] = {
    {"letters/hello.txt", 2'900, true},
    {"letters/minutes.txt", 21'000, true},
    {"pictures/sunset.raw", 49'152, false},
    {"pictures/harbour.raw", 90'000, false},
};

std::string sampleBytes(const Sample& sample, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes;
  bytes.reserve(sample.size);
  if (sample.text) {
    static const char* const words[] = {"serial", "cable", "packet", "byte", "reply", "folder", "file",
                                        "the", "a", "line", "speed", "check"};
    while (bytes.size() < sample.size) {
      bytes += words[gen() % 12];
      bytes += (gen() % 12 == 0) ? ".\n" : " ";
    }
    bytes.resize(sample.size);
  } else {
    for (size_t i = 0; i < sample.size; ++i) bytes.push_back(static_cast<char>(gen() & 0xFF));
  }
  return bytes;
}

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return in ? s.str() : std::string("\x01missing");
}

}  // namespace

int runDemo(const DemoOptions& options, Terminal& terminal, InterruptGuard& interrupts) {
  char pattern[] = "/tmp/zarvek-demo-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    terminal.message("cannot make a folder under /tmp");
    return kExitFileFailed;
  }
  const fs::path base = pattern;
  const fs::path outbox = base / "outbox";
  const fs::path received = base / "received";
  std::vector<std::string> files;
  uint32_t seed = 1;
  for (const auto& sample : kSamples) {
    const fs::path path = outbox / sample.path;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << sampleBytes(sample, seed++);
    files.push_back(path.string());
  }
  fs::create_directories(received);

  std::unique_ptr<Cable> cable;
  try {
    CableConfig config;
    config.baud = options.speed;
    cable = std::make_unique<Cable>(config);
  } catch (const std::exception& e) {
    terminal.message(std::string("cannot start the virtual cable: ") + e.what());
    return kExitPortError;
  }
  terminal.line("Virtual cable paced at " + std::to_string(options.speed) + " bit/s: sender on " +
                   cable->endA() + ", receiver on " + cable->endB());
  terminal.line("Sending " + std::to_string(files.size()) + " files from " + (outbox / "letters").string() +
                   " and " + (outbox / "pictures").string() + " into " + received.string());

  ReceiveStopper stopper;
  std::promise<void> waiting;
  ReceiveOptions receive;
  receive.port = cable->endB();
  receive.speed = options.speed;
  receive.folder = received.string();
  receive.files = static_cast<int>(files.size());
  receive.banner = false;
  receive.linePrefix = "receiver: ";
  receive.liveLine = false;
  receive.stopper = &stopper;
  receive.onWaiting = [&waiting] { waiting.set_value(); };
  int receiveResult = kExitFileFailed;
  std::thread receiver([&] { receiveResult = runReceive(receive, terminal, interrupts); });

  int sendResult = kExitPortError;
  if (waiting.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
    // The receiver polls its port from the moment it has set it up; leave it
    // that moment, since a sender that starts first loses its first packet.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SendOptions send;
    send.port = cable->endA();
    send.speed = options.speed;
    send.retryLimit = 4;
    send.files = files;
    send.linePrefix = "sender:   ";
    sendResult = runSend(send, terminal, interrupts);
  }
  if (sendResult != kExitSuccess) stopper.stop();
  receiver.join();

  int identical = 0;
  for (const auto& sample : kSamples) {
    const fs::path original = outbox / sample.path;
    const fs::path copy = received / original.filename();
    const bool same = readWhole(original) == readWhole(copy);
    identical += same;
    terminal.line(std::string(same ? "identical  " : "DIFFERENT  ") + copy.string());
  }
  const bool ok = sendResult == kExitSuccess && receiveResult == kExitSuccess &&
                  identical == static_cast<int>(std::size(kSamples));
  if (ok) {
    terminal.line("All " + std::to_string(identical) + " files arrived identical. Received files: " +
                  received.string() + "  (originals: " + outbox.string() + ")");
    return kExitSuccess;
  }
  terminal.message("the demo did not complete: " + std::to_string(identical) + " of " +
                   std::to_string(std::size(kSamples)) + " files identical; see " + base.string());
  return interrupts.interrupted() ? kExitInterrupted : kExitFileFailed;
}

}  // namespace zarvek::cli
