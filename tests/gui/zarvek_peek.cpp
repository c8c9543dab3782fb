// zarvek-peek: prints what a user sees in the windows of the program under
// test, for the GUI tests that drive it from Linux. X11 tools see window titles
// only; this runs in the same Wine prefix and reads the controls.
//
//   zarvek-peek list          every visible top-level window:
//                             "window <hwnd> <x-window> <class> <title> <active> <focused>"
//   zarvek-peek XID           the window whose X window is XID, then its children:
//                             "window ..." as above,
//                             "rect <left> <top> <right> <bottom>" (screen pixels),
//                             "child <id> <class> <visible> <style hex> <l> <t> <r> <b> <pos> <min> <max> <text>"
// Fields are separated by tabs. pos/min/max are the trackbar's or progress bar's,
// else 0. Exit code 1 when no such window exists.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Wine keeps the X window of each top-level window in this property.
const char kXWindowProp[] = "__wine_x11_whole_window";

std::string textOf(HWND w) {
  char buf[1024] = {};
  DWORD_PTR len = 0;
  // WM_GETTEXT is marshalled across processes; the time-out keeps a busy
  // window thread from hanging the test.
  if (!SendMessageTimeoutA(w, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf),
                           SMTO_ABORTIFHUNG, 2000, &len))
    return "";
  std::string s(buf, len);
  for (char& c : s)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return s;
}

LRESULT query(HWND w, UINT msg, WPARAM wp = 0) {
  DWORD_PTR r = 0;
  SendMessageTimeoutA(w, msg, wp, 0, SMTO_ABORTIFHUNG, 2000, &r);
  return static_cast<LRESULT>(r);
}

// Whether keys would reach the window: its thread's keyboard focus is on it
// or inside it (a window can be active and still have no focus).
bool hasFocus(HWND w) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info)) return false;
  return info.hwndFocus == w || IsChild(w, info.hwndFocus);
}

void printWindow(HWND w) {
  char cls[128] = {};
  GetClassNameA(w, cls, sizeof cls);
  auto xid = reinterpret_cast<uintptr_t>(GetPropA(w, kXWindowProp));
  std::printf("window\t%llu\t%llu\t%s\t%s\t%d\t%d\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(w)),
              static_cast<unsigned long long>(xid), cls, textOf(w).c_str(), GetForegroundWindow() == w ? 1 : 0,
              hasFocus(w) ? 1 : 0);
}

BOOL CALLBACK listOne(HWND w, LPARAM) {
  if (IsWindowVisible(w)) printWindow(w);
  return TRUE;
}

struct Search {
  uintptr_t xid;
  HWND found;
};

BOOL CALLBACK findOne(HWND w, LPARAM lp) {
  auto* s = reinterpret_cast<Search*>(lp);
  if (reinterpret_cast<uintptr_t>(GetPropA(w, kXWindowProp)) == s->xid) {
    s->found = w;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK printChild(HWND c, LPARAM) {
  char cls[128] = {};
  GetClassNameA(c, cls, sizeof cls);
  RECT r{};
  GetWindowRect(c, &r);
  LRESULT pos = 0, lo = 0, hi = 0;
  if (!lstrcmpiA(cls, TRACKBAR_CLASSA)) {
    pos = query(c, TBM_GETPOS);
    lo = query(c, TBM_GETRANGEMIN);
    hi = query(c, TBM_GETRANGEMAX);
  } else if (!lstrcmpiA(cls, PROGRESS_CLASSA)) {
    pos = query(c, PBM_GETPOS);
    lo = query(c, PBM_GETRANGE, TRUE);
    hi = query(c, PBM_GETRANGE, FALSE);
  }
  std::printf("child\t%d\t%s\t%d\t%lx\t%ld\t%ld\t%ld\t%ld\t%lld\t%lld\t%lld\t%s\n", GetDlgCtrlID(c), cls,
              IsWindowVisible(c) ? 1 : 0, static_cast<unsigned long>(GetWindowLongA(c, GWL_STYLE)), r.left, r.top,
              r.right, r.bottom, static_cast<long long>(pos), static_cast<long long>(lo),
              static_cast<long long>(hi), textOf(c).c_str());
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zarvek-peek list | X-WINDOW-ID\n");
    return 2;
  }
  if (std::string(argv[1]) == "list") {
    EnumWindows(listOne, 0);
    return 0;
  }
  Search s{static_cast<uintptr_t>(std::strtoull(argv[1], nullptr, 0)), nullptr};
  EnumWindows(findOne, reinterpret_cast<LPARAM>(&s));
  if (!s.found) return 1;
  printWindow(s.found);
  RECT r{};
  GetWindowRect(s.found, &r);
  std::printf("rect\t%ld\t%ld\t%ld\t%ld\n", r.left, r.top, r.right, r.bottom);
  EnumChildWindows(s.found, printChild, 0);
  return 0;
}
