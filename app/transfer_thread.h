#pragma once
// The worker thread that runs one transfer, and the window's side of it: the
// bounded wait for the previous worker and the start of the next.
#include <windows.h>

#include <cstdint>

#include "job/transfer_job.h"
#include "job/transfer_ui.h"

namespace zarvek {

// Waits at most limitMs for the last started worker, serving the requests it
// sends to this (the window) thread meanwhile, so that a worker that is finishing
// can deliver its last status text and its final command and end in time. Then
// closes its handle and forgets it ("Error closing thread handle!" if closing
// fails). When the worker has not ended in time: `message` in a box owned by
// `owner`, the quit request with exit code 1, and false: the caller goes no
// further. True at once when no worker was started since the last wait.
bool WaitForPreviousThread(HWND owner, uint32_t limitMs, const char* message);

// Starts TransferThread on the job at below-normal priority. The job must be
// complete; `ui` must outlive the worker. False when the thread could not be
// created (nothing runs then).
bool StartTransferThread(TransferJob& job, TransferUi& ui, HWND window, WORD endCommand);

// The worker's body: the role of job.mode from engine creation to
// destruction (the completion sound after a send), then `endCommand` delivered
// to `window` as a menu command, synchronously. Returns 1.
unsigned TransferThread(TransferJob& job, TransferUi& ui, HWND window, WORD endCommand);

}  // namespace zarvek
