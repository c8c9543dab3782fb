#pragma once
// The main window's commands and its modes (Idle, Sending, Receiving).
#include <windows.h>
#include <commdlg.h>

#include "job/transfer_job.h"

namespace zarvek {

// WM_COMMAND with the command id in the low 16 bits of wParam; unknown ids do nothing.
void OnCommand(HWND window, WORD command);

void SendCommand(HWND window);
void ReceiveCommand(HWND window);
void AbortCommand(HWND window);
void ExitCommand(HWND window);

// Abort enabled; Send, Receive, Receive Folder and Comm Setup grayed.
void SetBusyMenus(HWND window);

// The reverse of SetBusyMenus on `window`, title "ZARVEK [IDLE]", the run's
// progress bar destroyed when leaving Sending, its status field hidden, and
// `state` Idle. Applied when Idle already, it changes nothing visible.
void ReturnToIdle(HWND window, AppState& state);

// The multi-select file-open request for Send, into `selection` (emptied first).
void InitFileOpenRequest(OPENFILENAMEA& request, HWND owner, char* selection, HINSTANCE instance);

}  // namespace zarvek
