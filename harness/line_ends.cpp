#include "harness/line_ends.h"

#include <pthread.h>

#include <cstring>
#include <future>
#include <stdexcept>

#include "receive/receive_job.h"
#include "send/send_job.h"

namespace zarvek::harness {
namespace {

// Passes every event on, and tells the constructor when the port is open or has failed.
class Announcing : public TransferUi {
 public:
  Announcing(TransferUi& ui, std::promise<bool>& ready) : ui_(ui), ready_(ready) {}
  bool fileBegins(const std::string& n, uint64_t s) override { return ui_.fileBegins(n, s); }
  void progress(uint64_t d, uint64_t t) override { ui_.progress(d, t); }
  void chunkRefused() override { ui_.chunkRefused(); }
  void fileEnded(const FileReport& r) override { ui_.fileEnded(r); }
  void betweenFiles() override { ui_.betweenFiles(); }
  void showMessage(const char* t, const char* c, MessageIcon i) override { ui_.showMessage(t, c, i); }
  void systemCallFailed(const Result& f) override { ui_.systemCallFailed(f); }
  void portNotOpened(const std::string& p, PortError e, const Result& f) override {
    ui_.portNotOpened(p, e, f);
    ready_.set_value(false);
  }
  void lineReady() override {
    ui_.lineReady();
    ready_.set_value(true);
  }
  void playCompletionSound() override { ui_.playCompletionSound(); }
  void receiveEnded() override { ui_.receiveEnded(); }

 private:
  TransferUi& ui_;
  std::promise<bool>& ready_;
};

}  // namespace

ReceiverThread::ReceiverThread(const std::string& port, int32_t speed, const std::string& folder, TransferUi& ui,
                               bool verify) {
  job_.portName = port;
  job_.verify = verify;
  job_.speed = speed;
  job_.receiveFolder = folder;  // one too long is refused by the receiver, as any
  job_.running = 1;
  std::promise<bool> ready;
  std::future<bool> opened = ready.get_future();
  thread_ = std::thread([this, &ui, &ready] {
    pthread_getcpuclockid(pthread_self(), &clock_);
    Announcing announcing(ui, ready);
    runReceiveJob(job_, announcing);
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
                                         TransferUi& ui, int32_t retryLimit, bool verify) {
  TransferJob job;
  job.verify = verify;
  job.portName = port;
  job.speed = speed;
  job.crcRetryLimit = retryLimit;
  job.files = paths;
  job.running = 1;
  return runSendJob(job, ui);
}

}  // namespace zarvek::harness
