#pragma once
// The sending role as a worker runs it, the same in every front end.
#include <optional>

#include "job/transfer_job.h"
#include "job/transfer_ui.h"
#include "send/file_sender.h"

namespace zarvek {

// The engine made; its port opened (when that fails the seam hears of it,
// nothing is sent, and the result is empty) and set up (a failure is reported
// and the job goes on with the port as it is); every file of job.files sent;
// the engine gone, so the port is free; then the completion sound when the
// batch ran to its end with `running` still set and nothing left out.
std::optional<SendBatchResult> runSendJob(TransferJob& job, TransferUi& ui);

}  // namespace zarvek
