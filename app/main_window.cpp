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

// Moved to a screen of another DPI (Windows 8.1 on): the size Windows
// suggests, and the run's controls laid out again for it.
void OnDpiChanged(Application& app, HWND window, int dpi, const RECT& suggested) {
  app.dpi = dpi;
  SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  const auto place = [](HWND control, const RECT& r) {
    if (control) MoveWindow(control, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
  };
  place(app.runControls.statusField, StatusFieldRect(dpi));
  place(app.runControls.progressBar, ProgressBarRect(dpi));
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
  app.dpi = SystemDpi();
  return CreateWindowExA(WS_EX_CLIENTEDGE, kWindowClassName, "Zarvek", WS_OVERLAPPED | WS_SYSMENU | WS_MINIMIZEBOX,
                         ScaleForDpi(200, app.dpi), ScaleForDpi(200, app.dpi), ScaleForDpi(340, app.dpi),
                         ScaleForDpi(120, app.dpi), nullptr, nullptr, app.appInstance, &app);
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
    case WM_DPICHANGED:
      OnDpiChanged(*app, window, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
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
