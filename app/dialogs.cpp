#include "app/dialogs.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "app/resource.h"
#include "serial/com_ports_win32.h"
#include "serial/port_name.h"

namespace zarvek {
namespace {

struct PortButton {
  int id;
  const char* name;
};
constexpr PortButton kPortButtons[] = {
    {IDC_PORT_COM1, "COM1"}, {IDC_PORT_COM2, "COM2"}, {IDC_PORT_COM3, "COM3"}, {IDC_PORT_COM4, "COM4"}};

struct SpeedButton {
  int id;
  const char* shown;
  int32_t speed;
};
constexpr SpeedButton kSpeedButtons[] = {{IDC_SPEED_9600, "9600", 9600},       {IDC_SPEED_19200, "19200", 19200},
                                         {IDC_SPEED_115200, "115200", 115200}, {IDC_SPEED_57600, "57600", 57600},
                                         {IDC_SPEED_230400, "230400", 230400}, {IDC_SPEED_460800, "460800", 460800},
                                         {IDC_SPEED_921600, "921600", 921600}};

// The list shows the chosen port selected, whichever way it was chosen.
void selectListed(HWND dialog, const std::string& name) {
  const HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
  const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  LRESULT found = -1;
  for (LRESULT item = 0; item < count && found < 0; ++item) {
    if (comNumber(name) == static_cast<int>(SendMessageA(list, LB_GETITEMDATA, static_cast<WPARAM>(item), 0))) found = item;
  }
  SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(found), 0);
}

// The ports present now, each by its friendly name where it has one; an
// item's data is its COM number, so a choice needs no parsing of the text.
void listPorts(HWND dialog, const std::string& current) {
  const HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  for (const ComPort& port : presentComPorts()) {
    const std::string text = port.friendlyName.empty() ? port.name : port.name + "  " + port.friendlyName;
    const LRESULT item = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (item < 0) continue;
    SendMessageA(list, LB_SETITEMDATA, static_cast<WPARAM>(item), *comNumber(port.name));
  }
  selectListed(dialog, current);
}

void setPort(HWND dialog, TransferJob& job, const std::string& name) {
  SetDlgItemTextA(dialog, IDC_PORT_SHOWN, name.c_str());
  job.portName = name;
  selectListed(dialog, name);
}

void initCommSetup(HWND dialog, const TransferJob& job) {
  SetDlgItemTextA(dialog, IDC_PORT_SHOWN, job.portName.c_str());
  SetDlgItemInt(dialog, IDC_SPEED_SHOWN, static_cast<UINT>(job.speed), TRUE);
  SendDlgItemMessageA(dialog, IDC_RETRY_SLIDER, TBM_SETRANGE, TRUE, MAKELPARAM(kRetryLimitMin, kRetryLimitMax));
  SendDlgItemMessageA(dialog, IDC_RETRY_SLIDER, TBM_SETPOS, TRUE, job.crcRetryLimit);
  SetDlgItemInt(dialog, IDC_RETRY_VALUE, static_cast<UINT>(job.crcRetryLimit), TRUE);
  listPorts(dialog, job.portName);
}

void commSetupCommand(HWND dialog, TransferJob& job, int id, int code) {
  for (const PortButton& port : kPortButtons) {
    if (port.id != id) continue;
    setPort(dialog, job, port.name);
    return;
  }
  if (id == IDC_PORT_LIST) {
    if (code != LBN_SELCHANGE) return;
    const HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
    const LRESULT item = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (item >= 0) setPort(dialog, job, "COM" + std::to_string(SendMessageA(list, LB_GETITEMDATA, item, 0)));
    return;
  }
  for (const SpeedButton& speed : kSpeedButtons) {
    if (speed.id != id) continue;
    SetDlgItemTextA(dialog, IDC_SPEED_SHOWN, speed.shown);
    job.speed = speed.speed;
    return;
  }
  // IDCANCEL (Esc, the close box) is ignored: only OK closes, and there is no Cancel.
  if (id == IDC_COMM_OK) EndDialog(dialog, 0);
}

void retryMoved(HWND dialog, TransferJob& job) {
  job.crcRetryLimit = static_cast<int32_t>(SendDlgItemMessageA(dialog, IDC_RETRY_SLIDER, TBM_GETPOS, 0, 0));
  SetDlgItemInt(dialog, IDC_RETRY_VALUE, static_cast<UINT>(job.crcRetryLimit), TRUE);
}

}  // namespace

INT_PTR CALLBACK CommSetupDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // The job comes with WM_INITDIALOG and stays with the dialog for the rest.
  if (message == WM_INITDIALOG) SetWindowLongPtrA(dialog, DWLP_USER, lParam);
  auto* job = reinterpret_cast<TransferJob*>(GetWindowLongPtrA(dialog, DWLP_USER));
  if (job == nullptr) return 0;
  switch (message) {
    case WM_INITDIALOG:
      initCommSetup(dialog, *job);
      break;
    case WM_COMMAND:
      commSetupCommand(dialog, *job, LOWORD(wParam), HIWORD(wParam));
      break;
    case WM_HSCROLL:
      retryMoved(dialog, *job);
      break;
    default:
      break;
  }
  return 0;
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wParam) == IDC_ABOUT_OK) EndDialog(dialog, 0);
  return 0;
}

bool StoreReceiveFolder(TransferJob& job, const char* path) {
  if (!receiveFolderFits(path)) return false;
  job.receiveFolder = path;
  return true;
}

void ChooseReceiveFolder(HWND owner, TransferJob& job) {
  BROWSEINFOA request = {};
  request.hwndOwner = owner;
  request.lpszTitle = "Choose a folder to hold received files";
  request.ulFlags = BIF_RETURNONLYFSDIRS;
  const PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&request);
  if (chosen == nullptr) return;  // cancelled
  // The shell writes up to MAX_PATH; the job's field holds 255 characters.
  char path[MAX_PATH] = {};
  const bool gotPath = SHGetPathFromIDListA(chosen, path) != 0;
  CoTaskMemFree(chosen);
  if (gotPath && !StoreReceiveFolder(job, path)) {
    MessageBoxA(owner,
                "The folder's path is longer than 255 characters. "
                "Choose a folder with a shorter path; the receive folder is unchanged.",
                "Receive Folder", MB_OK | MB_ICONWARNING);
  }
}

bool ChooseFolderToSend(HWND owner, std::string& folder) {
  BROWSEINFOA request = {};
  request.hwndOwner = owner;
  request.lpszTitle = "Choose a folder to send, with everything in it";
  request.ulFlags = BIF_RETURNONLYFSDIRS;
  const PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&request);
  if (chosen == nullptr) return false;
  char path[MAX_PATH] = {};
  const bool gotPath = SHGetPathFromIDListA(chosen, path) != 0;
  CoTaskMemFree(chosen);
  if (gotPath) folder = path;
  return gotPath;
}

namespace {

// The WinHelp viewer came with Windows up to XP; since Vista it is an add-on
// most systems lack, and its stub only says so.
bool systemHasWinHelp() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExA(&version) && version.dwMajorVersion < 6;
}

// The same help as a page, beside the help file, in the user's browser.
bool openHelpPage(HWND owner, const char* path) {
  std::string page = path;
  const size_t dot = page.rfind('.');
  page = (dot == std::string::npos ? page : page.substr(0, dot)) + ".html";
  if (GetFileAttributesA(page.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  // ShellExecute reports success with a value above 32.
  return reinterpret_cast<INT_PTR>(ShellExecuteA(owner, "open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}

}  // namespace

void ShowHelp(HWND owner, const char* path) {
  // The viewer where the system has it; the page where it has not, or when the
  // viewer refuses; and the viewer once more when there is no page to show, so
  // that F1 never does nothing.
  if (systemHasWinHelp() && WinHelpA(owner, path, HELP_FORCEFILE, 0)) return;
  if (openHelpPage(owner, path)) return;
  WinHelpA(owner, path, HELP_FORCEFILE, 0);
}

}  // namespace zarvek
