// The windowed program's entry: the class, the window, the common controls,
// the accelerators and the message loop.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/main_window.h"
#include "app/resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR /*commandLine*/, int /*show*/) {
  using namespace zarvek;
  const HBRUSH background = GetSysColorBrush(COLOR_MENU);
  if (previous == nullptr && !RegisterMainWindowClass(instance, background)) return 0;
  // The shell's folder browser and file dialog expect COM on this thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // The window's state, for the whole process: see the end.
  Application app(instance);
  const HWND window = CreateMainWindow(app);
  ShowWindow(window, SW_SHOW);  // whatever show state the program was started with

  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  if (!InitCommonControlsEx(&controls)) return 0;
  const HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCEL));

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (TranslateAcceleratorA(window, accelerators, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  // A worker may still run: Exit leaves a receiver running, and a sender told
  // to stop may not have ended. ExitProcess stops it before anything is torn
  // down; a return would destroy `app`, and the runtime's exit the statics,
  // under it. 0, or 1 after a worker that did not end in time.
  ExitProcess(static_cast<UINT>(message.wParam));
}
