#pragma once
// The worker thread that runs one transfer, and the window's side of it: the
// bounded wait for the previous worker and the start of the next.
#include <windows.h>

#include <cstdint>

#include "base/unique_handle_win32.h"
#include "job/transfer_job.h"
#include "job/transfer_ui.h"

namespace zarvek {

// Waits at most limitMs for `worker`, the last started one, serving the
// requests it sends to this (the window) thread meanwhile, so that a worker that
// is finishing can deliver its last status text and its final command and end
// in time. Then closes its handle, leaving `worker` empty ("Error closing thread
// handle!" if closing fails). When the worker has not ended in time: `message`
// in a box owned by `owner`, the quit request with exit code 1, and false: the
// caller goes no further. True at once when `worker` is empty.
bool WaitForPreviousThread(UniqueHandle& worker, HWND owner, uint32_t limitMs, const char* message);

// Starts TransferThread on the job at below-normal priority and hands back its
// handle. The job must be complete; `ui` must outlive the worker. An empty
// handle when the thread could not be created (nothing runs then).
UniqueHandle StartTransferThread(TransferJob& job, TransferUi& ui, HWND window, WORD endCommand);

// The worker's body: the role of job.mode from engine creation to
// destruction (the completion sound after a send), then `endCommand` delivered
// to `window` as a menu command, synchronously. Returns 1.
unsigned TransferThread(TransferJob& job, TransferUi& ui, HWND window, WORD endCommand);

}  // namespace zarvek
