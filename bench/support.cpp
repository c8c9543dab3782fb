#include "bench/support.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "harness/process.h"
#include "harness/wine.h"

namespace zarvek::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

double processCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // Fields after the command name, which is in parentheses and may hold spaces.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long statusKib(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::string key = std::string(field) + ":";
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  }
  return -1;
}

void writeRandomFile(const std::string& path, uint64_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  std::ofstream(path, std::ios::binary) << bytes;
}

ScratchDir::ScratchDir(const char* tag) {
  std::string pattern = (fs::temp_directory_path() / (std::string("zarvek-") + tag + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

WineSession::WineSession(const std::string& exe) {
  const auto made = harness::run({ZARVEK_SOURCE_DIR "/cmake/wine-prefix.sh", harness::winePrefix()}, {}, 10min);
  if (made.code != 0) throw std::runtime_error("cannot make the Wine prefix: " + made.err);
  // The server detaches itself; its starter ends at once.
  harness::run({"/bin/sh", "-c", "exec wineserver -p"}, {"WINEPREFIX=" + harness::winePrefix()}, 30s);
  harness::run(harness::wineCommand(exe, {"--help"}), {}, 5min);
}

WineSession::~WineSession() {
  harness::run({"/bin/sh", "-c", "exec wineserver -k"}, {"WINEPREFIX=" + harness::winePrefix()}, 30s);
}

void TimingUi::fileEnded(const FileReport& report) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  ended_.push_back({now, report.outcome});
}

std::vector<EndedFile> TimingUi::ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

bool TimingUi::waitForFiles(size_t n, std::chrono::milliseconds guard) const {
  const auto until = Clock::now() + guard;
  while (ended().size() < n) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

FirstByteWatch::FirstByteWatch(const Cable& cable, Direction direction) {
  const uint64_t before = cable.bytesIn(direction);
  thread_ = std::thread([this, &cable, direction, before] {
    ::prctl(PR_SET_TIMERSLACK, 1UL);  // wake when asked, not up to 50 us later
    // Ahead of ordinary threads where allowed, as the cable's relay is: a busy
    // machine must not make the start look late.
    const sched_param realtime{1};
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realtime);
    while (!quit_) {
      if (cable.bytesIn(direction) > before) {
        at_ = Clock::now();
        seen_ = true;
        return;
      }
      std::this_thread::sleep_for(20us);
    }
  });
}

FirstByteWatch::~FirstByteWatch() {
  quit_ = true;
  thread_.join();
}

bool FirstByteWatch::wait(std::chrono::milliseconds guard, Clock::time_point* at) {
  const auto until = Clock::now() + guard;
  while (!seen_) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
  *at = at_;
  return true;
}

}  // namespace zarvek::bench
