#include "receive/receive_job.h"

#include "receive/file_receiver.h"

namespace zarvek {

bool runReceiveJob(TransferJob& job, TransferUi& ui, const std::function<void()>& listening) {
  {
    FileReceiver receiver(ui, job.verify, job.stream, job.resume);
    if (const Result opened = receiver.openPort(job.portName.c_str()); !opened) {
      ui.portNotOpened(job.portName, receiver.openError(), opened);
      return false;
    }
    if (const Result set = receiver.configurePort(job.speed); !set) ui.systemCallFailed(set);
    receiver.runReceiveLoop(job.receiveFolder.c_str(), job.running, listening);
  }
  // After the receiver is gone: a file cut short by the stop is reported by then.
  ui.receiveEnded();
  return true;
}

}  // namespace zarvek
