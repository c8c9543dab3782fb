#include "app/transfer_thread.h"

#include <process.h>

#include <memory>

#include "receive/receive_job.h"
#include "send/send_job.h"

namespace zarvek {
namespace {

struct WorkerStart {
  TransferJob* job;
  TransferUi* ui;
  HWND window;
  WORD endCommand;
};

unsigned __stdcall workerEntry(void* arg) {
  const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
  return TransferThread(*start->job, *start->ui, start->window, start->endCommand);
}

}  // namespace

unsigned TransferThread(TransferJob& job, TransferUi& ui, HWND window, WORD endCommand) {
  const AppState mode = job.mode;
  if (mode == AppState::Sending) {
    runSendJob(job, ui);
  } else if (mode == AppState::Receiving) {
    runReceiveJob(job, ui);
  }
  // Synchronous: the window is back to Idle before this thread ends, so the
  // next command's wait sees a finished worker.
  SendMessageA(window, WM_COMMAND, endCommand, 0);
  return 1;
}

UniqueHandle StartTransferThread(TransferJob& job, TransferUi& ui, HWND window, WORD endCommand) {
  auto start = std::make_unique<WorkerStart>(WorkerStart{&job, &ui, window, endCommand});
  UniqueHandle worker(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, workerEntry, start.get(), 0, nullptr)));
  if (!worker) return worker;
  start.release();  // the worker owns it now
  // The window keeps answering promptly while the worker polls the port; a
  // refusal leaves the worker at normal priority, which changes only that.
  SetThreadPriority(worker.get(), THREAD_PRIORITY_BELOW_NORMAL);
  return worker;
}

bool WaitForPreviousThread(UniqueHandle& worker, HWND owner, uint32_t limitMs, const char* message) {
  if (!worker) return true;
  const HANDLE thread = worker.get();
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    // Wakes for messages other threads send to this thread's windows: a
    // finishing worker waits in SendMessage for its status text or final Abort.
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      MSG msg;
      // Peeking delivers the pending sent messages; posted ones stay queued.
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      continue;
    }
    // Time-out (or a failed wait, which cannot end better by waiting again).
    MessageBoxA(owner, message, "Error", MB_OK);
    PostQuitMessage(1);
    return false;
  }
  // Closed here rather than by UniqueHandle, which does not report a failure.
  if (!CloseHandle(worker.release())) MessageBoxA(owner, "Error closing thread handle!", "Error", MB_OK);
  return true;
}

}  // namespace zarvek
