#include "app/commands.h"

#include <cderr.h>
#include <commctrl.h>

#include "app/dialogs.h"
#include "app/resource.h"
#include "app/settings.h"
#include "app/transfer_thread.h"
#include "base/system_text.h"
#include "job/send_list.h"

namespace zarvek {
namespace {

constexpr UINT kSendWaitMs = 4000;
constexpr UINT kReceiveWaitMs = 5000;
constexpr UINT kExitSendingSleepMs = 300;

// The commands that would start a transfer or change a setting.
constexpr UINT kIdleCommands[] = {ID_ACTION_RECEIVE, ID_ACTION_SEND, ID_ACTION_SENDFOLDER, ID_SETUP_RECEIVEFOLDER,
                                  ID_SETUP_COMMSETUP};
// A box lists this many of what a folder leaves out, then counts the rest.
constexpr size_t kLeftOutShown = 15;

void setMenuStates(HWND window, UINT abortState, UINT idleState) {
  const HMENU menu = GetMenu(window);
  EnableMenuItem(menu, ID_ACTION_ABORT, MF_BYCOMMAND | abortState);
  for (const UINT id : kIdleCommands) EnableMenuItem(menu, id, MF_BYCOMMAND | idleState);
}

// A fresh, empty field for each run. The previous one belongs to a worker
// that has ended (the wait before each start sees to that), so it can go.
HWND createStatusField(Application& app, HWND window) {
  if (app.runControls.statusField != nullptr) DestroyWindow(app.runControls.statusField);
  const RECT at = StatusFieldRect(app.dpi);
  return CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | ES_READONLY | ES_LEFT, at.left, at.top,
                         at.right - at.left, at.bottom - at.top, window, nullptr, app.appInstance, nullptr);
}

HWND createProgressBar(const Application& app, HWND window) {
  const RECT at = ProgressBarRect(app.dpi);
  return CreateWindowExA(0, PROGRESS_CLASSA, "Progress Bar", WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH,
                         at.left, at.top, at.right - at.left, at.bottom - at.top, window, nullptr,
                         app.appInstance, nullptr);
}

// The worker's role is the window's mode as it starts; the job's copy is the
// worker's alone. With no worker the window would stay busy with nothing to
// end it: say so and go back to Idle.
void startWorker(Application& app, HWND window) {
  app.transferJob.mode = app.appState;
  app.windowUi.attach(window, app.runControls.statusField, app.runControls.progressBar, app.appState);
  app.workerThread = StartTransferThread(app.transferJob, app.windowUi, window, ID_ACTION_ABORT);
  if (app.workerThread) return;
  MessageBoxA(window, "The transfer could not be started.", "Error", MB_OK);
  AbortCommand(app, window);
}

// The job's files (and wirePaths) are set: the run's controls, then its worker.
void startSending(Application& app, HWND window) {
  app.appState = AppState::Sending;
  SetBusyMenus(window);
  app.runControls.progressBar = createProgressBar(app, window);
  app.runControls.statusField = createStatusField(app, window);
  SetWindowTextA(window, "ZARVEK [SEND MODE]");
  app.transferJob.running = 1;
  startWorker(app, window);
}

bool leftOutAccepted(HWND window, const std::vector<LeftOut>& leftOut) {
  if (leftOut.empty()) return true;
  std::string text = "These are not sent:\r\n";
  for (size_t i = 0; i < leftOut.size() && i < kLeftOutShown; ++i) {
    text += "\r\n" + leftOut[i].path + " (" + leftOut[i].why + ")";
  }
  if (leftOut.size() > kLeftOutShown) text += "\r\n... and " + std::to_string(leftOut.size() - kLeftOutShown) + " more";
  text += "\r\n\r\nSend the rest of the folder?";
  return MessageBoxA(window, text.c_str(), "Send Folder", MB_OKCANCEL | MB_ICONWARNING) == IDOK;
}

bool confirmExit(HWND window, const char* text, const char* caption) {
  return MessageBoxA(window, text, caption, MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
}

// The window's place is kept at the end too: not every move ends a user's drag.
void quit(HWND window) {
  saveWindowPosition(window);
  PostQuitMessage(0);
}

}  // namespace

void InitFileOpenRequest(OPENFILENAMEA& request, HWND owner, char* selection, HINSTANCE instance) {
  request = {};
  // The record without the fields later Windows versions added.
  request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  request.hwndOwner = owner;
  request.hInstance = instance;
  request.lpstrFilter = "All Files (*.*)\0*.*\0";
  selection[0] = '\0';
  request.lpstrFile = selection;
  request.nMaxFile = kSelectionSize;
  request.lpstrTitle = "File(s) To Send";
  request.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY;
  request.lpstrDefExt = "*.*";
}

void SetBusyMenus(HWND window) { setMenuStates(window, MF_ENABLED, MF_GRAYED); }

void ReturnToIdle(Application& app, HWND window) {
  setMenuStates(window, MF_GRAYED, MF_ENABLED);
  SetWindowTextA(window, "ZARVEK [IDLE]");
  if (app.appState == AppState::Sending) DestroyWindow(app.runControls.progressBar);
  ShowWindow(app.runControls.statusField, SW_HIDE);
  app.appState = AppState::Idle;
}

void SendCommand(Application& app, HWND window) {
  if (!WaitForPreviousThread(app.workerThread, window, kSendWaitMs, "Send thread error, Aborting")) return;
  OPENFILENAMEA request;
  InitFileOpenRequest(request, window, app.selection, app.appInstance);
  if (!GetOpenFileNameA(&request)) {
    if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
      MessageBoxA(window, "Sorry, too many files selected!", "Error", MB_OK);
    }
    return;
  }
  app.transferJob.files = selectedPaths(app.selection, kSelectionSize, request.nFileOffset);
  app.transferJob.wirePaths.clear();  // each under its base name
  startSending(app, window);
}

void SendFolderCommand(Application& app, HWND window) {
  if (!WaitForPreviousThread(app.workerThread, window, kSendWaitMs, "Send thread error, Aborting")) return;
  std::string folder;
  if (ChooseFolderToSend(window, folder)) SendFolder(app, window, folder);
}

bool SendFolder(Application& app, HWND window, const std::string& folder) {
  TransferJob& job = app.transferJob;
  job.files.clear();
  job.wirePaths.clear();
  std::vector<LeftOut> leftOut;
  if (const Result listed = addToSendList(job, folder, leftOut); !listed) {
    const std::string text = folder + " cannot be sent: " + listed.step() + ": " + systemErrorText(listed.code());
    MessageBoxA(window, text.c_str(), "Send Folder", MB_OK | MB_ICONWARNING);
    return false;
  }
  if (!leftOutAccepted(window, leftOut)) {
    job.files.clear();
    job.wirePaths.clear();
    return false;
  }
  startSending(app, window);
  return true;
}

void ReceiveCommand(Application& app, HWND window) {
  if (!WaitForPreviousThread(app.workerThread, window, kReceiveWaitMs, "Receive thread error, Aborting")) return;
  app.appState = AppState::Receiving;
  SetBusyMenus(window);
  app.runControls.statusField = createStatusField(app, window);
  SetWindowTextA(window, "ZARVEK [RECEIVE MODE]");
  app.transferJob.running = 1;
  startWorker(app, window);
}

void AbortCommand(Application& app, HWND window) {
  app.transferJob.running = 0;
  ReturnToIdle(app, window);
}

void ExitCommand(Application& app, HWND window) {
  switch (app.appState) {
    case AppState::Sending:
      if (!confirmExit(window, "Data Transfer in Progress, Exit Zarvek?", "Sending Data!")) return;
      app.transferJob.running = 0;
      ReturnToIdle(app, window);
      // Time for the sender to see the flag and send its abort packet.
      Sleep(kExitSendingSleepMs);
      quit(window);
      return;
    case AppState::Receiving:
      // The receiver is not told: it ends with the process, its file kept.
      if (confirmExit(window, "Still In Receive Mode, Exit Zarvek?", "Receive Mode")) quit(window);
      return;
    case AppState::Idle:
      quit(window);
      return;
  }
}

void OnCommand(Application& app, HWND window, WORD command) {
  // TranslateAccelerator already skips the keys of grayed items; the mode is
  // checked here too, so that no other sender of a command can start a second
  // run or change a setting under a running worker.
  const bool idle = app.appState == AppState::Idle;
  switch (command) {
    case ID_ACTION_SEND:
      if (idle) SendCommand(app, window);
      break;
    case ID_ACTION_SENDFOLDER:
      if (idle) SendFolderCommand(app, window);
      break;
    case ID_ACTION_RECEIVE:
      if (idle) ReceiveCommand(app, window);
      break;
    case ID_ACTION_ABORT:
      AbortCommand(app, window);
      break;
    case ID_ACTION_EXIT:
      ExitCommand(app, window);
      break;
    case ID_SETUP_COMMSETUP:
      if (idle) {
        const KeptSettings before = keptSettings(app.transferJob);
        DialogBoxParamA(app.appInstance, MAKEINTRESOURCEA(IDD_COMMSETUP), window, CommSetupDlgProc,
                        reinterpret_cast<LPARAM>(&app.transferJob));
        saveChangedSettings(before, app.transferJob);
      }
      break;
    case ID_SETUP_RECEIVEFOLDER:
      if (idle) {
        const KeptSettings before = keptSettings(app.transferJob);
        ChooseReceiveFolder(window, app.transferJob);
        saveChangedSettings(before, app.transferJob);
      }
      break;
    case ID_HELP_CONTENTS:
      ShowHelp(window, app.helpPath);
      break;
    case ID_HELP_ABOUT:
      DialogBoxParamA(app.appInstance, MAKEINTRESOURCEA(IDD_ABOUT), window, AboutDlgProc, 0);
      break;
    default:
      break;
  }
}

}  // namespace zarvek
