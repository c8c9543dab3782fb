#pragma once
// The program's one window. Everything here runs on the window thread; the
// worker reaches it only through synchronous requests (WindowUi, the final
// Abort).
#include <windows.h>

#include "app/application.h"

namespace zarvek {

inline constexpr char kWindowClassName[] = "Zarvek";
inline constexpr char kMenuName[] = "IDR_MAINMENU";

// The class "Zarvek": icon IDI_APPICON, arrow cursor, `background`, menu
// "IDR_MAINMENU". False when it cannot be registered.
bool RegisterMainWindowClass(HINSTANCE instance, HBRUSH background);

// The fixed-size window at (200, 200), 340 x 120, titled "Zarvek", in
// app.appInstance. Its WM_CREATE keeps `app` for MainWndProc (so `app` must
// outlive the window), sets the job's initial values and the help path, then
// takes the kept settings (loadSettings), which may move the window.
HWND CreateMainWindow(Application& app);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace zarvek
