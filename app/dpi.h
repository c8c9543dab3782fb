#pragma once
// The window's pixel sizes are given for 96 DPI (100 %) and scaled for the
// screen: the program is DPI-aware (its manifest says so), so Windows draws it
// sharp at the screen's DPI instead of stretching a 96-DPI bitmap, and the
// window lays itself out. Dialogs need nothing: dialog units follow the font.
#include <windows.h>

namespace zarvek {

inline constexpr int kBaseDpi = 96;

// The DPI the system gives this program's windows at start (the primary
// screen's; a window moved to another screen hears WM_DPICHANGED).
inline int SystemDpi() {
  const HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : kBaseDpi;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kBaseDpi;
}

// `pixels` at 96 DPI, at `dpi`.
inline int ScaleForDpi(int pixels, int dpi) { return MulDiv(pixels, dpi, kBaseDpi); }

inline RECT ScaledRect(int left, int top, int width, int height, int dpi) {
  return {ScaleForDpi(left, dpi), ScaleForDpi(top, dpi), ScaleForDpi(left + width, dpi),
          ScaleForDpi(top + height, dpi)};
}
// The run's controls in the window's client area: (17, 15) 300 x 20 and (17, 50) 300 x 15 at 96 DPI.
inline RECT StatusFieldRect(int dpi) { return ScaledRect(17, 15, 300, 20, dpi); }
inline RECT ProgressBarRect(int dpi) { return ScaledRect(17, 50, 300, 15, dpi); }

}  // namespace zarvek
