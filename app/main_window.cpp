#include "app/main_window.h"

#include <cstdio>

#include "app/commands.h"
#include "app/dialogs.h"
#include "app/resource.h"

namespace zarvek {

TransferJob transferJob;
AppState appState = AppState::Idle;
HINSTANCE appInstance = nullptr;
char helpPath[kHelpPathSize] = {};
// Never destroyed: after Exit while Receiving, the worker may still use it
// while the process ends.
WindowUi& windowUi = *new WindowUi;
char selection[kSelectionSize] = {};
RunControls runControls;
UniqueHandle workerThread;

namespace {

void OnCreate() {
  setInitialValues(transferJob);
  // Taken once, so it does not follow later changes of the current directory.
  std::snprintf(helpPath, sizeof helpPath, "%s\\zarvek.hlp", transferJob.receiveFolder.c_str());
}

void OnClose(HWND window) {
  // Exit decides; the default handling would destroy the window.
  SendMessageA(window, WM_COMMAND, ID_ACTION_EXIT, 0);
}

}  // namespace

bool RegisterMainWindowClass(HINSTANCE instance, HBRUSH background) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = MainWndProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APPICON));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = background;
  windowClass.lpszMenuName = kMenuName;
  windowClass.lpszClassName = kWindowClassName;
  return RegisterClassA(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
  // No WS_THICKFRAME or WS_MAXIMIZEBOX: the window can be neither resized nor maximised.
  return CreateWindowExA(WS_EX_CLIENTEDGE, kWindowClassName, "Zarvek",
                         WS_OVERLAPPED | WS_SYSMENU | WS_MINIMIZEBOX, 200, 200, 340, 120,
                         nullptr, nullptr, instance, nullptr);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      OnCreate();
      return 0;
    case WM_CLOSE:
      OnClose(window);
      return 0;
    case WM_HELP:
      ShowHelp(window, helpPath);
      return 0;
    case WM_COMMAND:
      OnCommand(window, LOWORD(wParam));
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace zarvek
