#include "app/main_window.h"

#include <cstdio>

#include "app/commands.h"
#include "app/dialogs.h"
#include "app/resource.h"
#include "app/settings.h"

namespace zarvek {
namespace {

// The window keeps the application CreateMainWindow was given, for every
// later message.
void OnCreate(HWND window, const CREATESTRUCTA& create) {
  Application& app = *static_cast<Application*>(create.lpCreateParams);
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&app));
  setInitialValues(app.transferJob);
  // Taken once, so it does not follow later changes of the current directory.
  std::snprintf(app.helpPath, sizeof app.helpPath, "%s\\zarvek.hlp", app.transferJob.receiveFolder.c_str());
  // After the help path: a kept receive folder is no place to look for help.
  loadSettings(app.transferJob, window);
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

HWND CreateMainWindow(Application& app) {
  // No WS_THICKFRAME or WS_MAXIMIZEBOX: the window can be neither resized nor maximised.
  return CreateWindowExA(WS_EX_CLIENTEDGE, kWindowClassName, "Zarvek",
                         WS_OVERLAPPED | WS_SYSMENU | WS_MINIMIZEBOX, 200, 200, 340, 120,
                         nullptr, nullptr, app.appInstance, &app);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    OnCreate(window, *reinterpret_cast<const CREATESTRUCTA*>(lParam));
    return 0;
  }
  // Null only before WM_CREATE, whose few messages all take the default handling.
  auto* app = reinterpret_cast<Application*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (app == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  switch (message) {
    case WM_CLOSE:
      OnClose(window);
      return 0;
    case WM_EXITSIZEMOVE:  // the end of a move by the user, not each step of it
      saveWindowPosition(window);
      return 0;
    case WM_HELP:
      ShowHelp(window, app->helpPath);
      return 0;
    case WM_COMMAND:
      OnCommand(*app, window, LOWORD(wParam));
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace zarvek
