#include "bench/line_ends.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <cstring>
#include <stdexcept>

#include "receive/file_receiver.h"

namespace zarvek::bench {

void TimingUi::fileEnded(const FileReport& report) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  ended_.push_back({now, report.outcome, report.name, report.written});
}

std::vector<EndedFile> TimingUi::ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

size_t TimingUi::endedCount() const {
  std::lock_guard lock(mutex_);
  return ended_.size();
}

ReceiverThread::ReceiverThread(const std::string& port, int32_t speed, const std::string& folder) {
  job_.speed = speed;
  std::strncpy(job_.receiveFolder, folder.c_str(), kFolderSize - 1);
  job_.running = 1;
  std::atomic<int> opened{-1};
  thread_ = std::thread([this, &opened, port] {
    pthread_getcpuclockid(pthread_self(), &clock_);
    FileReceiver receiver;
    const int ok = receiver.openPort(port.c_str());
    if (ok) receiver.configurePort(job_.speed);
    receiver.attachStatusField(ui_);
    opened = ok;
    if (ok) receiver.runReceiveLoop(job_);
  });
  while (opened == -1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (opened != 1) {
    thread_.join();
    throw std::runtime_error("the receiver cannot open " + port);
  }
}

ReceiverThread::~ReceiverThread() { stop(); }

void ReceiverThread::stop() {
  job_.running = 0;
  if (thread_.joinable()) thread_.join();
}

bool ReceiverThread::waitForFiles(size_t n, std::chrono::milliseconds guard) const {
  const auto until = Clock::now() + guard;
  while (ui_.endedCount() < n) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

double ReceiverThread::cpuSeconds() const {
  timespec t{};
  if (!thread_.joinable() || clock_gettime(clock_, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

SendBatchResult sendBatch(const std::string& port, int32_t speed, const std::string& folder,
                          const std::vector<std::string>& names, TransferUi& ui) {
  auto job = std::make_unique<TransferJob>();
  // The selection as the file dialog gives it: the folder, then each name.
  size_t at = 0;
  const auto put = [&](const std::string& text) {
    if (at + text.size() + 2 > static_cast<size_t>(kSelectionSize)) throw std::runtime_error("selection too long");
    std::memcpy(job->selection + at, text.data(), text.size());
    at += text.size() + 1;
  };
  put(folder);
  job->nextName = static_cast<int32_t>(at);
  for (const auto& name : names) put(name);
  job->speed = speed;
  job->crcRetryLimit = kDefaultRetryLimit;
  job->running = 1;
  FileSender sender;
  if (!sender.openPort(port.c_str())) throw std::runtime_error("the sender cannot open " + port);
  sender.configurePort(speed);
  return runSendBatch(*job, sender, ui);
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
      std::this_thread::sleep_for(std::chrono::microseconds(20));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  *at = at_;
  return true;
}

}  // namespace zarvek::bench
