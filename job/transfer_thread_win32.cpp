#include "job/transfer_thread.h"

#include <windows.h>
#include <process.h>

#include <memory>

#include "app/resource.h"
#include "job/transfer_ui.h"
#include "receive/file_receiver.h"
#include "send/file_sender.h"

namespace zarvek {
namespace {

// The last started worker that has not been waited for; none at start.
HANDLE workerThread = nullptr;

constexpr char kPortText[] = "Select a different port.";
constexpr char kPortCaption[] = "Whoopsy: COM port in use!";

struct WorkerStart {
  TransferJob* job;
  TransferUi* ui;
};

unsigned __stdcall workerEntry(void* arg) {
  const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
  return TransferThread(*start->job, *start->ui);
}

void runSender(TransferJob& job, TransferUi& ui) {
  SendBatchResult result;
  {
    auto sender = std::make_unique<FileSender>();
    if (!sender->openPort(job.portName)) {
      ui.showMessage(kPortText, kPortCaption, MessageIcon::Warning);
      return;
    }
    sender->configurePort(job.speed);  // goes on whatever the port took
    result = runSendBatch(job, *sender, ui);
  }
  // After the sender is gone, so the port is free when the sound plays.
  playCompletionSound(job, result, ui);
}

void runReceiver(TransferJob& job, TransferUi& ui) {
  {
    auto receiver = std::make_unique<FileReceiver>();
    if (!receiver->openPort(job.portName)) {
      ui.showMessage(kPortText, kPortCaption, MessageIcon::Warning);
      return;
    }
    receiver->configurePort(job.speed);
    receiver->attachStatusField(ui);
    receiver->runReceiveLoop(job);
  }
  // After the receiver is gone: a file cut short by the stop is reported by then.
  ui.receiveEnded();
}

}  // namespace

unsigned TransferThread(TransferJob& job, TransferUi& ui) {
  const int32_t mode = job.mode;
  if (mode == Sending) {
    runSender(job, ui);
  } else if (mode == Receiving) {
    runReceiver(job, ui);
  }
  // Synchronous: the window is back to Idle before this thread ends, so the
  // next command's wait sees a finished worker.
  SendMessageA(static_cast<HWND>(job.mainWindow), WM_COMMAND, ID_ACTION_ABORT, 0);
  return 1;
}

bool StartTransferThread(TransferJob& job, TransferUi& ui) {
  auto start = std::make_unique<WorkerStart>(WorkerStart{&job, &ui});
  const uintptr_t handle = _beginthreadex(nullptr, 0, workerEntry, start.get(), 0, nullptr);
  if (handle == 0) return false;
  start.release();  // the worker owns it now
  workerThread = reinterpret_cast<HANDLE>(handle);
  // The window keeps answering promptly while the worker polls the port.
  SetThreadPriority(workerThread, THREAD_PRIORITY_BELOW_NORMAL);
  return true;
}

bool WaitForPreviousThread(WindowHandle owner, uint32_t limitMs, const char* message) {
  if (workerThread == nullptr) return true;
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    // Wakes for messages other threads send to this thread's windows: a
    // finishing worker waits in SendMessage for its status text or final Abort.
    const DWORD woke = MsgWaitForMultipleObjects(1, &workerThread, FALSE, left, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      MSG msg;
      // Peeking delivers the pending sent messages; posted ones stay queued.
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      continue;
    }
    // Time-out (or a failed wait, which cannot end better by waiting again).
    MessageBoxA(static_cast<HWND>(owner), message, "Error", MB_OK);
    PostQuitMessage(1);
    return false;
  }
  if (!CloseHandle(workerThread)) {
    MessageBoxA(static_cast<HWND>(owner), "Error closing thread handle!", "Error", MB_OK);
  }
  workerThread = nullptr;
  return true;
}

}  // namespace zarvek
