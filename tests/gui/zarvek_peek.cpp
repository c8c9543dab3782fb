// zarvek-peek: what the windows of a Wine prefix show, for the X-driven test (X sees only
// the Wine desktop). Run in the prefix, it prints each visible top-level window, then its
// controls, one per line, fields tab-separated (line breaks in a text become " | "):
//   window <hwnd> <process id> <title> <left> <top> <right> <bottom> <dpi>
//   child <id> <class> <left> <top> <right> <bottom> <progress position>
//         <room width> <room height> <text width> <text height> <text>
// in screen pixels, which are the Wine desktop's and so the X screen's. The room is what a
// control's frame, glyph or margins leave of it for its text; the text's size is measured in
// the control's own font by zarvek-peek-hook.dll; -1 for a control that shows no text of its own.
// A test tool, not shipped: it may use the DPI functions of Windows 10.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

HMODULE hookModule = nullptr;
std::map<DWORD, HHOOK> hooks;  // one in each thread that owns a window

// What a control's frame, glyph or margins leave of it for its text, and the DrawText format
// it shows the text with; no room (-1) where it does not show its window text.
struct TextRoom {
  LONG width = -1, height = -1, format = DT_SINGLELINE;
};

TextRoom roomOf(HWND c, const char* kind) {
  RECT r{};
  GetClientRect(c, &r);
  const LONG style = GetWindowLongA(c, GWL_STYLE), type = style & 0x1F;  // the BS_ or SS_ type
  const UINT dpi = GetDpiForWindow(c);
  const LONG edge = GetSystemMetricsForDpi(SM_CXEDGE, dpi);
  if (!lstrcmpiA(kind, "Button")) {
    const LONG format = style & BS_MULTILINE ? DT_WORDBREAK : DT_SINGLELINE;
    // A group box's text starts 8 px in (as much kept at the right); a push button's lies
    // inside its bevel and focus rectangle; a check box's or radio button's after its glyph.
    if (type == BS_GROUPBOX) return {r.right - 2 * MulDiv(8, dpi, 96), r.bottom, format};
    if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) return {r.right - 4 * edge, r.bottom - 2 * edge, format};
    return {r.right - GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) - edge, r.bottom, format};
  }
  const LONG prefix = style & SS_NOPREFIX ? DT_NOPREFIX : 0;
  if (!lstrcmpiA(kind, "Static") && type <= SS_RIGHT) return {r.right, r.bottom, DT_WORDBREAK | DT_EXPANDTABS | prefix};
  if (!lstrcmpiA(kind, "Static") && (type == SS_SIMPLE || type == SS_LEFTNOWORDWRAP))
    return {r.right, r.bottom, DT_SINGLELINE | prefix};
  if (!lstrcmpiA(kind, "Edit")) {
    const LRESULT margins = SendMessageA(c, EM_GETMARGINS, 0, 0);
    return {r.right - LOWORD(margins) - HIWORD(margins), r.bottom, DT_SINGLELINE | DT_NOPREFIX};
  }
  return {};
}

// The text's size as the control's own thread measures it, through the hook.
SIZE measured(HWND c, const TextRoom& room) {
  static const UINT measure = RegisterWindowMessageA("zarvek-peek-measure");
  DWORD_PTR ignored = 0;
  if (!SendMessageTimeoutA(c, measure, room.format, room.width, SMTO_ABORTIFHUNG, 2000, &ignored))
    return {0, 0};
  return {LONG(INT_PTR(GetPropA(c, "zarvek-peek-cx"))), LONG(INT_PTR(GetPropA(c, "zarvek-peek-cy")))};
}

std::string textOf(HWND w) {
  char text[1024] = {};
  DWORD_PTR length = 0;
  // Marshalled to the window's thread; the time-out keeps a busy one from holding the test.
  if (!SendMessageTimeoutA(w, WM_GETTEXT, sizeof text, LPARAM(text), SMTO_ABORTIFHUNG, 2000, &length)) return "";
  std::string one;
  for (DWORD_PTR i = 0; i < length; ++i) {
    if (text[i] == '\n') one += " | ";
    else if (text[i] != '\r') one += text[i];
  }
  return one;
}

BOOL CALLBACK printChild(HWND c, LPARAM) {
  char kind[128] = {};
  GetClassNameA(c, kind, sizeof kind);
  RECT r{};
  GetWindowRect(c, &r);
  DWORD_PTR position = 0;
  std::string text = textOf(c);
  // A list box has no text of its own: its items, one after another.
  if (!lstrcmpiA(kind, "ListBox")) {
    const LRESULT count = SendMessageA(c, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      // Wide: between processes the text comes over as the list keeps it.
      wchar_t item[256] = {};
      if (SendMessageW(c, LB_GETTEXTLEN, i, 0) < 256) SendMessageW(c, LB_GETTEXT, i, LPARAM(item));
      char narrow[512] = {};
      WideCharToMultiByte(CP_ACP, 0, item, -1, narrow, sizeof narrow, nullptr, nullptr);
      text += (i ? " | " : "") + std::string(narrow);
    }
  }
  if (!lstrcmpiA(kind, PROGRESS_CLASSA)) SendMessageTimeoutA(c, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position);
  const TextRoom room = roomOf(c, kind);
  const SIZE size = room.width < 0 ? SIZE{-1, -1} : text.empty() ? SIZE{0, 0} : measured(c, room);
  std::printf("child\t%d\t%s\t%ld\t%ld\t%ld\t%ld\t%lu\t%ld\t%ld\t%ld\t%ld\t%s\n", GetDlgCtrlID(c), kind, r.left, r.top,
              r.right, r.bottom, static_cast<unsigned long>(position), room.width, room.height, size.cx, size.cy,
              text.c_str());
  return TRUE;
}

BOOL CALLBACK printWindow(HWND w, LPARAM) {
  if (!IsWindowVisible(w)) return TRUE;
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(w, &process);
  if (hookModule && !hooks.count(thread)) {
    const auto measure = reinterpret_cast<void*>(GetProcAddress(hookModule, "measureText"));
    hooks[thread] = SetWindowsHookExA(WH_CALLWNDPROC, reinterpret_cast<HOOKPROC>(measure), hookModule, thread);
  }
  RECT r{};
  GetWindowRect(w, &r);
  std::printf("window\t%llu\t%lu\t%s\t%ld\t%ld\t%ld\t%ld\t%u\n", static_cast<unsigned long long>(uintptr_t(w)),
              process, textOf(w).c_str(), r.left, r.top, r.right, r.bottom, GetDpiForWindow(w));
  EnumChildWindows(w, printChild, 0);
  return TRUE;
}

}  // namespace

// Aware of each screen's DPI, so that Windows gives it every place and size unscaled.
int main() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  hookModule = LoadLibraryA("zarvek-peek-hook.dll");
  const BOOL listed = EnumWindows(printWindow, 0);
  for (const auto& [thread, hook] : hooks)
    if (hook) UnhookWindowsHookEx(hook);
  return listed ? 0 : 1;
}
