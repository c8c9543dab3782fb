#pragma once
// The program's one window and the process-wide state beside it. Everything
// here runs on the window thread; the worker reaches it only through
// synchronous requests (WindowUi, the final Abort).
#include <windows.h>

#include <cstdint>

#include "app/selection.h"
#include "app/window_ui.h"
#include "base/unique_handle_win32.h"
#include "job/transfer_job.h"

namespace zarvek {

inline constexpr char kWindowClassName[] = "Zarvek";
inline constexpr char kMenuName[] = "IDR_MAINMENU";
inline constexpr int32_t kHelpPathSize = 300;

extern TransferJob transferJob;  // the one record shared with the worker
extern AppState appState;        // Idle at start
extern HINSTANCE appInstance;
extern char helpPath[kHelpPathSize];
extern WindowUi& windowUi;             // the engines' view of this window
extern char selection[kSelectionSize];  // the file-open dialog's result for Send

// The controls of the current run: made by Send and Receive, removed or hidden
// by ReturnToIdle.
struct RunControls {
  HWND statusField = nullptr;
  HWND progressBar = nullptr;
};
extern RunControls runControls;
extern UniqueHandle workerThread;  // the last started worker, until a wait for it

// The class "Zarvek": icon IDI_APPICON, arrow cursor, `background`, menu
// "IDR_MAINMENU". False when it cannot be registered.
bool RegisterMainWindowClass(HINSTANCE instance, HBRUSH background);

// The fixed-size window at (200, 200), 340 x 120, titled "Zarvek". Its
// WM_CREATE sets the job's initial values and the help path.
HWND CreateMainWindow(HINSTANCE instance);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace zarvek
