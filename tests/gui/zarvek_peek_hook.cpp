// zarvek-peek's hook, which Windows loads into the program's process: a control's font is
// a handle of that process, of no use in another. Sent the registered message, a control's
// text is measured there in the control's font with the DrawText format (wParam) and
// width (lParam) given, and the size left in two window properties for zarvek-peek.
#include <windows.h>

extern "C" __declspec(dllexport) LRESULT CALLBACK measureText(int code, WPARAM wParam, LPARAM lParam) {
  const CWPSTRUCT& sent = *reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && sent.message == RegisterWindowMessageA("zarvek-peek-measure")) {
    char text[1024] = {};
    GetWindowTextA(sent.hwnd, text, sizeof text);
    const HDC dc = GetDC(sent.hwnd);
    const auto font = reinterpret_cast<HGDIOBJ>(SendMessageA(sent.hwnd, WM_GETFONT, 0, 0));
    const HGDIOBJ was = SelectObject(dc, font ? font : GetStockObject(SYSTEM_FONT));
    RECT r{0, 0, static_cast<LONG>(sent.lParam), 0};
    DrawTextA(dc, text, -1, &r, static_cast<UINT>(sent.wParam) | DT_CALCRECT);
    SelectObject(dc, was);
    ReleaseDC(sent.hwnd, dc);
    SetPropA(sent.hwnd, "zarvek-peek-cx", reinterpret_cast<HANDLE>(INT_PTR{r.right - r.left}));
    SetPropA(sent.hwnd, "zarvek-peek-cy", reinterpret_cast<HANDLE>(INT_PTR{r.bottom - r.top}));
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
