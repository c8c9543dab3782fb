// zarvek-peek: what the windows of a Wine prefix show, for the X-driven test (X sees only
// the Wine desktop). Run in the prefix, it prints each visible top-level window, then its
// controls, one per line, fields tab-separated (line breaks in a text become " | "):
//   window <hwnd> <process id> <title> <left> <top> <right> <bottom>
//   child <id> <class> <left> <top> <right> <bottom> <progress position> <text>
// in screen pixels, which are the Wine desktop's and so the X screen's.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

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
  std::printf("child\t%d\t%s\t%ld\t%ld\t%ld\t%ld\t%lu\t%s\n", GetDlgCtrlID(c), kind, r.left, r.top, r.right, r.bottom,
              static_cast<unsigned long>(position), text.c_str());
  return TRUE;
}

BOOL CALLBACK printWindow(HWND w, LPARAM) {
  if (!IsWindowVisible(w)) return TRUE;
  DWORD process = 0;
  GetWindowThreadProcessId(w, &process);
  RECT r{};
  GetWindowRect(w, &r);
  std::printf("window\t%llu\t%lu\t%s\t%ld\t%ld\t%ld\t%ld\n", static_cast<unsigned long long>(uintptr_t(w)), process,
              textOf(w).c_str(), r.left, r.top, r.right, r.bottom);
  EnumChildWindows(w, printChild, 0);
  return TRUE;
}

}  // namespace

int main() { return EnumWindows(printWindow, 0) ? 0 : 1; }
