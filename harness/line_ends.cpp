#include "harness/line_ends.h"

#include <pthread.h>

#include <cstring>
#include <future>
#include <stdexcept>

#include "receive/receive_job.h"
#include "send/send_job.h"

namespace zarvek::harness {

ReceiverThread::ReceiverThread(const std::string& port, int32_t speed, const std::string& folder, TransferUi& ui,
                               bool verify, bool stream) {
  job_.portName = port;
  job_.verify = verify;
  job_.stream = stream;
  job_.speed = speed;
  job_.receiveFolder = folder;  // one too long is refused by the receiver, as any
  job_.running = 1;
  std::promise<bool> ready;
  std::future<bool> opened = ready.get_future();
  thread_ = std::thread([this, &ui, &ready] {
    pthread_getcpuclockid(pthread_self(), &clock_);
    // Told once the receiver listens, or at once when its port did not open.
    if (!runReceiveJob(job_, ui, [&ready] { ready.set_value(true); })) ready.set_value(false);
  });
  if (!opened.get()) {
    thread_.join();
    throw std::runtime_error("the receiver cannot open " + port);
  }
}

ReceiverThread::~ReceiverThread() { stop(); }

void ReceiverThread::stop() {
  job_.running = 0;
  if (thread_.joinable()) thread_.join();
}

double ReceiverThread::cpuSeconds() const {
  timespec t{};
  if (!thread_.joinable() || clock_gettime(clock_, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::optional<SendBatchResult> sendFiles(const std::string& port, int32_t speed, const std::vector<std::string>& paths,
                                         TransferUi& ui, int32_t retryLimit, bool verify, bool stream) {
  TransferJob job;
  job.verify = verify;
  job.stream = stream;
  job.portName = port;
  job.speed = speed;
  job.crcRetryLimit = retryLimit;
  job.files = paths;
  job.running = 1;
  return runSendJob(job, ui);
}

}  // namespace zarvek::harness
