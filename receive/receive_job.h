#pragma once
// The receiving role as a worker runs it, the same in every front end.
#include <functional>

#include "job/transfer_job.h"
#include "job/transfer_ui.h"

namespace zarvek {

// The engine made; its port opened (when that fails the seam hears of it and
// this returns false at once) and set up (a failure is reported and the job
// goes on with the port as it is); files received into job.receiveFolder until
// `running` is found clear; the engine gone; then receiveEnded.
// `listening` is called once the receiver listens: a sender may start then.
bool runReceiveJob(TransferJob& job, TransferUi& ui, const std::function<void()>& listening = {});

}  // namespace zarvek
