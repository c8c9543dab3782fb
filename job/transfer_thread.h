#pragma once
// The worker thread that runs one transfer, and the window's side of it: the
// bounded wait for the previous worker and the start of the next. Windows only;
// the command line runs its engines on its own thread.
#include <cstdint>

#include "job/transfer_job.h"

namespace zarvek {

class TransferUi;

// Waits at most limitMs for the last started worker, serving the requests it
// sends to this (the window) thread meanwhile, so that a worker that is finishing
// can deliver its last status text and its final Abort and end in time. Then
// closes its handle and forgets it ("Error closing thread handle!" if closing
// fails). When the worker has not ended in time: `message` in a box owned by
// `owner`, the quit request with exit code 1, and false: the caller goes no
// further. True at once when no worker was started since the last wait.
bool WaitForPreviousThread(WindowHandle owner, uint32_t limitMs, const char* message);

// Starts TransferThread on the job at below-normal priority. The job must be
// complete; `ui` must outlive the worker. False when the thread could not be
// created (nothing runs then).
bool StartTransferThread(TransferJob& job, TransferUi& ui);

// The worker's body: the role of job.mode (Sending or Receiving) from engine
// creation to destruction, the completion sound after a send, then the Abort
// command delivered to job.mainWindow synchronously. Returns 1.
unsigned TransferThread(TransferJob& job, TransferUi& ui);

}  // namespace zarvek
