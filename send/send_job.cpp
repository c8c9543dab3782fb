#include "send/send_job.h"

namespace zarvek {

std::optional<SendBatchResult> runSendJob(TransferJob& job, TransferUi& ui) {
  SendBatchResult result;
  {
    FileSender sender(ui, job.verify, job.stream);
    if (const Result opened = sender.openPort(job.portName.c_str()); !opened) {
      ui.portNotOpened(job.portName, sender.openError(), opened);
      return std::nullopt;
    }
    if (const Result set = sender.configurePort(job.speed); !set) ui.systemCallFailed(set);
    result = sender.runSendBatch(job.files, job.running, job.crcRetryLimit, job.wirePaths);
  }
  if (job.running.load() && result.clean()) ui.playCompletionSound();
  return result;
}

}  // namespace zarvek
