#pragma once
// The main window's commands and its modes (Idle, Sending, Receiving).
#include <windows.h>
#include <commdlg.h>

#include <string>

#include "app/application.h"
#include "job/transfer_job.h"

namespace zarvek {

// WM_COMMAND with the command id in the low 16 bits of wParam; unknown ids do nothing.
void OnCommand(Application& app, HWND window, WORD command);

void SendCommand(Application& app, HWND window);
// The folder browser, then SendFolder with the folder chosen.
void SendFolderCommand(Application& app, HWND window);
// Sends `folder` whole, under its own name. What is left out inside it (links,
// devices, unreadable folders, names that are not text) is listed in a box
// first, whose Cancel sends nothing; a folder that cannot be read is said in a
// box. False when no send started.
bool SendFolder(Application& app, HWND window, const std::string& folder);
void ReceiveCommand(Application& app, HWND window);
void AbortCommand(Application& app, HWND window);
void ExitCommand(Application& app, HWND window);

// Abort enabled; Send, Send Folder, Receive, Receive Folder and Comm Setup grayed.
void SetBusyMenus(HWND window);

// The reverse of SetBusyMenus on `window`, title "ZARVEK [IDLE]", the run's
// progress bar destroyed when leaving Sending, its status field hidden, and
// app.appState Idle. Applied when Idle already, it changes nothing visible.
void ReturnToIdle(Application& app, HWND window);

// The multi-select file-open request for Send, into `selection` (emptied first).
void InitFileOpenRequest(OPENFILENAMEA& request, HWND owner, char* selection, HINSTANCE instance);

}  // namespace zarvek
