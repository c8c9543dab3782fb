#pragma once
// The windowed program's state in one object. The main window reaches it
// through its GWLP_USERDATA; the rest of app/ is handed what it needs. A
// running worker uses the job and the WindowUi, so the object must outlive
// its last worker: a wait for it (WaitForPreviousThread) or the end of the
// process (WinMain) sees to that.
#include <windows.h>

#include <cstdint>

#include "app/dpi.h"
#include "app/selection.h"
#include "app/window_ui.h"
#include "base/unique_handle_win32.h"
#include "job/transfer_job.h"

namespace zarvek {

inline constexpr int32_t kHelpPathSize = 300;

// The controls of the current run: made by Send and Receive, removed or hidden
// by ReturnToIdle.
struct RunControls {
  HWND statusField = nullptr;
  HWND progressBar = nullptr;
};

struct Application {
  explicit Application(HINSTANCE instance) : appInstance(instance) {}
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  HINSTANCE appInstance;
  // The window's mode, held here only: a worker's job.mode is set from it at
  // the worker's start and read by nothing else.
  AppState appState = AppState::Idle;
  TransferJob transferJob;              // the one record shared with the worker
  char helpPath[kHelpPathSize] = {};
  WindowUi windowUi;                    // the engines' view of this window
  char selection[kSelectionSize] = {};  // the file-open dialog's result for Send
  RunControls runControls;
  int dpi = kBaseDpi;                   // the screen's the window is on: its sizes follow it
  UniqueHandle workerThread;            // the last started worker, until a wait for it
};

}  // namespace zarvek
