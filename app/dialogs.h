#pragma once
// Communications Setup, About, the receive-folder browser and help. Every
// choice lands in the TransferJob at once; nothing is kept elsewhere.
#include <windows.h>

#include <string>

#include "job/transfer_job.h"

namespace zarvek {

// Edits the TransferJob whose address is the dialog's creation parameter
// (DialogBoxParam's last argument).
INT_PTR CALLBACK CommSetupDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The system's folder browser; a confirmed folder becomes job.receiveFolder.
void ChooseReceiveFolder(HWND owner, TransferJob& job);

// The system's folder browser for Send Folder: false when cancelled or when
// the choice is no folder on disk.
bool ChooseFolderToSend(HWND owner, std::string& folder);

// Copies `path` into job.receiveFolder when it fits (receiveFolderFits);
// false, with the field untouched, when it does not.
bool StoreReceiveFolder(TransferJob& job, const char* path);

// Opens the help: `path` (zarvek.hlp) in the WinHelp viewer where the system
// has one, else the page beside it (zarvek.html) in the user's browser.
void ShowHelp(HWND owner, const char* path);

}  // namespace zarvek
