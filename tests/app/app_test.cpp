#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/dialogs.h"
#include "app/resource.h"
#include "app/window_ui.h"
#include "job/transfer_thread.h"
#include "support/recording_ui.h"

namespace zarvek {
namespace {

// zarvek.exe as built, opened for its resources only.
class ProgramResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string path = std::string("Z:") + ZARVEK_GUI_EXE;
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    module_ = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot open " << ZARVEK_GUI_EXE; }

  static const BYTE* resource(LPCSTR type, LPCSTR name, DWORD* size = nullptr) {
    const HRSRC found = FindResourceA(module_, name, type);
    if (found == nullptr) return nullptr;
    if (size != nullptr) *size = SizeofResource(module_, found);
    return static_cast<const BYTE*>(LockResource(LoadResource(module_, found)));
  }

  static HMODULE module_;
};
HMODULE ProgramResources::module_ = nullptr;

std::string hinted(const char* label, int blanks, const char* hint) {
  return std::string(label) + std::string(blanks, ' ') + "(" + hint + ")";
}

TEST_F(ProgramResources, MainMenuTextsIdsAndStates) {
  struct Item {
    int popup;
    int position;
    std::string text;  // empty: separator
    UINT id;
    bool grayed;
  };
  const Item items[] = {
      {0, 0, "", 0, false},
      {0, 1, hinted("&Send", 9, "Ctrl + S"), ID_ACTION_SEND, false},
      {0, 2, hinted("&Receive", 4, "Ctrl + R"), ID_ACTION_RECEIVE, false},
      {0, 3, hinted("&Abort", 9, "Esc"), ID_ACTION_ABORT, true},
      {0, 4, "", 0, false},
      {0, 5, hinted("&Exit", 12, "Ctrl + E"), ID_ACTION_EXIT, false},
      {1, 0, hinted("&Comm Setup", 10, "Ctrl + C"), ID_SETUP_COMMSETUP, false},
      {1, 1, hinted("&Receive Folder", 6, "Ctrl + F"), ID_SETUP_RECEIVEFOLDER, false},
      {2, 0, hinted("&Contents", 10, "F1"), ID_HELP_CONTENTS, false},
      {2, 1, "&About", ID_HELP_ABOUT, false},
  };
  const HMENU menu = LoadMenuA(module_, "IDR_MAINMENU");
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 3);
  const char* popups[] = {"&Action", "&Setup", "&Help"};
  const int counts[] = {6, 2, 2};
  for (int i = 0; i < 3; ++i) {
    char text[64] = {};
    GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, popups[i]);
    EXPECT_EQ(GetMenuItemCount(GetSubMenu(menu, i)), counts[i]) << popups[i];
  }
  for (const Item& item : items) {
    const HMENU popup = GetSubMenu(menu, item.popup);
    const UINT state = GetMenuState(popup, item.position, MF_BYPOSITION);
    const std::string where = std::string(popups[item.popup]) + " #" + std::to_string(item.position);
    if (item.text.empty()) {
      EXPECT_TRUE(state & MF_SEPARATOR) << where;
      continue;
    }
    char text[64] = {};
    GetMenuStringA(popup, item.position, text, sizeof text, MF_BYPOSITION);
    EXPECT_EQ(text, item.text) << where;
    EXPECT_EQ(GetMenuItemID(popup, item.position), item.id) << where;
    EXPECT_EQ((state & MF_GRAYED) != 0, item.grayed) << where;
  }
  DestroyMenu(menu);
}

TEST_F(ProgramResources, AcceleratorTable) {
  const ACCEL expected[] = {
      {FVIRTKEY | FCONTROL, 'S', ID_ACTION_SEND},
      {FVIRTKEY | FCONTROL, 'R', ID_ACTION_RECEIVE},
      {FVIRTKEY | FCONTROL, 'E', ID_ACTION_EXIT},
      {FVIRTKEY | FCONTROL, 'C', ID_SETUP_COMMSETUP},
      {FVIRTKEY | FCONTROL, 'F', ID_SETUP_RECEIVEFOLDER},
      {FVIRTKEY, VK_ESCAPE, ID_ACTION_ABORT},
  };
  const HACCEL table = LoadAcceleratorsA(module_, MAKEINTRESOURCEA(IDR_ACCEL));
  ASSERT_NE(table, nullptr);
  ACCEL got[16] = {};
  const int n = CopyAcceleratorTableA(table, got, 16);
  ASSERT_EQ(n, 6);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(got[i].fVirt & (FVIRTKEY | FCONTROL | FSHIFT | FALT), expected[i].fVirt) << "entry " << i;
    EXPECT_EQ(got[i].key, expected[i].key) << "entry " << i;
    EXPECT_EQ(got[i].cmd, expected[i].cmd) << "entry " << i;
  }
  DestroyAcceleratorTable(table);
}

// A DIALOG template (not DIALOGEX) read back from its bytes.
struct DialogItem {
  int id;
  std::string cls;
  std::string text;
  int x, y, cx, cy;
  DWORD style;
};
struct Dialog {
  DWORD style = 0;
  int cx = 0, cy = 0;
  std::string caption;
  int pointSize = 0;
  std::string font;
  std::vector<DialogItem> items;
};

std::string readSzOrOrd(const WORD*& p) {
  if (*p == 0xFFFF) {
    const std::string ordinal = "#" + std::to_string(p[1]);
    p += 2;
    return ordinal;
  }
  std::string text;
  while (*p != 0) text += static_cast<char>(*p++);
  ++p;
  return text;
}

Dialog parseDialog(const BYTE* bytes) {
  Dialog d;
  const auto* header = reinterpret_cast<const DLGTEMPLATE*>(bytes);
  d.style = header->style;
  d.cx = header->cx;
  d.cy = header->cy;
  const WORD* p = reinterpret_cast<const WORD*>(bytes + 18);
  readSzOrOrd(p);  // menu
  readSzOrOrd(p);  // class
  d.caption = readSzOrOrd(p);
  if (d.style & DS_SETFONT) {
    d.pointSize = *p++;
    d.font = readSzOrOrd(p);
  }
  for (int i = 0; i < header->cdit; ++i) {
    const auto aligned = (reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t(3);
    const auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(aligned);
    DialogItem it{static_cast<short>(item->id), "", "", item->x, item->y, item->cx, item->cy, item->style};
    p = reinterpret_cast<const WORD*>(aligned + 18);
    it.cls = readSzOrOrd(p);
    it.text = readSzOrOrd(p);
    const WORD extra = *p++;
    p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
    d.items.push_back(it);
  }
  return d;
}

// Class names compare without case; the predefined classes may come as atoms.
std::string className(std::string name) {
  if (name == "#128") return "BUTTON";
  if (name == "#129") return "EDIT";
  if (name == "#130") return "STATIC";
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

constexpr char kButton[] = "BUTTON";
constexpr char kEdit[] = "EDIT";
constexpr char kStatic[] = "STATIC";
constexpr DWORD kDialogStyle = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT;

// Compares in template order; `style` holds the bits each control must have.
void expectItems(const Dialog& d, const std::vector<DialogItem>& expected) {
  ASSERT_EQ(d.items.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const DialogItem& e = expected[i];
    const DialogItem& g = d.items[i];
    const std::string where = "item " + std::to_string(i) + " \"" + e.text + "\"";
    EXPECT_EQ(g.id, e.id) << where;
    EXPECT_EQ(className(g.cls), className(e.cls)) << where;
    EXPECT_EQ(g.text, e.text) << where;
    EXPECT_EQ(g.x, e.x) << where;
    EXPECT_EQ(g.y, e.y) << where;
    EXPECT_EQ(g.cx, e.cx) << where;
    EXPECT_EQ(g.cy, e.cy) << where;
    EXPECT_EQ(g.style & e.style, e.style) << where;
    if (e.cls == kButton) {
      EXPECT_EQ(g.style & 0xF, e.style & 0xF) << where << ": button kind";
    }
  }
}

TEST_F(ProgramResources, CommSetupDialogTemplate) {
  const BYTE* bytes = resource(RT_DIALOG, MAKEINTRESOURCEA(IDD_COMMSETUP));
  ASSERT_NE(bytes, nullptr);
  const Dialog d = parseDialog(bytes);
  EXPECT_EQ(d.style & kDialogStyle, kDialogStyle);
  EXPECT_EQ(d.caption, "Communications Setup");
  EXPECT_EQ(d.cx, 238);
  EXPECT_EQ(d.cy, 121);
  EXPECT_EQ(d.pointSize, 8);
  EXPECT_EQ(d.font, "MS Sans Serif");
  const DWORD push = BS_PUSHBUTTON | WS_TABSTOP;
  expectItems(d, {
      {IDC_COMM_OK, kButton, "&OK", 185, 99, 45, 15, BS_DEFPUSHBUTTON | WS_TABSTOP},
      {IDC_STATIC, kButton, "Port Speed", 127, 7, 103, 71, BS_GROUPBOX},
      {IDC_STATIC, kButton, "Port Number", 7, 7, 103, 71, BS_GROUPBOX},
      {IDC_PORT_COM2, kButton, "COM2", 63, 24, 29, 15, push},
      {IDC_PORT_COM1, kButton, "COM1", 23, 24, 29, 15, push},
      {IDC_PORT_COM3, kButton, "COM3", 23, 44, 29, 15, push},
      {IDC_PORT_COM4, kButton, "COM4", 63, 44, 29, 15, push},
      {IDC_SPEED_9600, kButton, "9600", 140, 24, 29, 15, push},
      {IDC_SPEED_19200, kButton, "19200", 181, 24, 29, 15, push},
      {IDC_SPEED_115200, kButton, "115200", 181, 44, 29, 15, push},
      {IDC_SPEED_57600, kButton, "57600", 140, 44, 29, 15, push},
      {IDC_PORT_SHOWN, kStatic, "COM4", 61, 65, 21, 8, SS_LEFT},
      {IDC_SPEED_SHOWN, kStatic, "115200", 182, 65, 25, 8, SS_LEFT},
      {IDC_STATIC, kStatic, "PORT:", 33, 65, 23, 8, SS_LEFT},
      {IDC_STATIC, kStatic, "SPEED:", 150, 65, 27, 8, SS_LEFT},
      {IDC_STATIC, kButton, "Sender's CRC Retry Value", 7, 86, 161, 27, BS_GROUPBOX},
      {IDC_RETRY_SLIDER, "msctls_trackbar32", "", 18, 98, 124, 12, TBS_AUTOTICKS | WS_TABSTOP},
      {IDC_RETRY_VALUE, kEdit, "", 147, 97, 16, 13,
       WS_BORDER | ES_READONLY | ES_NUMBER | ES_AUTOHSCROLL | WS_TABSTOP},
  });
  EXPECT_EQ(d.items[16].style & TBS_VERT, 0u) << "the retry slider is horizontal";
}

TEST_F(ProgramResources, AboutDialogTemplate) {
  const BYTE* bytes = resource(RT_DIALOG, MAKEINTRESOURCEA(IDD_ABOUT));
  ASSERT_NE(bytes, nullptr);
  const Dialog d = parseDialog(bytes);
  EXPECT_EQ(d.style & kDialogStyle, kDialogStyle);
  EXPECT_EQ(d.caption, "About Zarvek");
  EXPECT_EQ(d.cx, 149);
  EXPECT_EQ(d.cy, 73);
  EXPECT_EQ(d.pointSize, 8);
  EXPECT_EQ(d.font, "MS Sans Serif");
  const std::string text = "Version 3.12" + std::string(24, ' ') + "Zarvek (Serial Port File Copier)";
  expectItems(d, {
      {IDC_ABOUT_OK, kButton, "&OK", 98, 7, 44, 16, BS_PUSHBUTTON | WS_TABSTOP},
      {IDC_STATIC, kStatic, text, 25, 38, 112, 28, SS_LEFT},
      {IDC_STATIC, kStatic, "#" + std::to_string(IDB_LOGO), 7, 7, 65, 25, SS_BITMAP},
  });
}

// Both images: 16 colours, red ground, black letters.
void expectRedWithBlack(const BITMAPINFOHEADER* header, int width, int height, const char* what) {
  ASSERT_EQ(header->biWidth, width) << what;
  ASSERT_EQ(header->biBitCount, 4) << what;
  const auto* palette = reinterpret_cast<const RGBQUAD*>(header + 1);
  const auto* bits = reinterpret_cast<const BYTE*>(palette + 16);
  const int stride = ((width * 4 + 31) / 32) * 4;
  int red = 0, black = 0, other = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const BYTE pair = bits[y * stride + x / 2];
      const RGBQUAD c = palette[x % 2 == 0 ? pair >> 4 : pair & 0xF];
      if (c.rgbRed == 255 && c.rgbGreen == 0 && c.rgbBlue == 0) {
        ++red;
      } else if (c.rgbRed == 0 && c.rgbGreen == 0 && c.rgbBlue == 0) {
        ++black;
      } else {
        ++other;
      }
    }
  }
  EXPECT_EQ(other, 0) << what;
  EXPECT_GT(red, black) << what << ": a red ground";
  EXPECT_GT(black, width * height / 10) << what << ": black letters";
  // The corner is ground, not ink.
  const BYTE corner = bits[0] >> 4;
  EXPECT_EQ(palette[corner].rgbRed, 255) << what;
}

TEST_F(ProgramResources, IconAndLogo) {
  DWORD size = 0;
  const BYTE* group = resource(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_APPICON), &size);
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(reinterpret_cast<const WORD*>(group)[2], 1) << "one image";
  // GRPICONDIRENTRY: width, height, colour count, reserved, planes, bit count, bytes, id.
  const BYTE* entry = group + 6;
  EXPECT_EQ(entry[0], 32);
  EXPECT_EQ(entry[1], 32);
  EXPECT_EQ(entry[2], 16);
  const WORD imageId = *reinterpret_cast<const WORD*>(entry + 12);
  const auto* icon = reinterpret_cast<const BITMAPINFOHEADER*>(resource(RT_ICON, MAKEINTRESOURCEA(imageId)));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->biHeight, 64) << "image and mask";
  expectRedWithBlack(icon, 32, 32, "icon");

  const auto* logo = reinterpret_cast<const BITMAPINFOHEADER*>(resource(RT_BITMAP, MAKEINTRESOURCEA(IDB_LOGO)));
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(logo->biHeight, 40);
  expectRedWithBlack(logo, 98, 40, "logo");
}

TEST(FileOpenRequest, Fields) {
  static char selection[kSelectionSize];
  selection[0] = 'x';
  OPENFILENAMEA request;
  std::memset(&request, 0x5A, sizeof request);  // every field not set must come out zero
  const HWND owner = reinterpret_cast<HWND>(0x1234);
  const HINSTANCE instance = reinterpret_cast<HINSTANCE>(0x5678);
  InitFileOpenRequest(request, owner, selection, instance);
  // 76 bytes in a 32-bit program: the record before the Windows 2000 fields.
  EXPECT_EQ(request.lStructSize, sizeof(void*) == 4 ? 76u : 136u);
  EXPECT_EQ(request.hwndOwner, owner);
  EXPECT_EQ(request.hInstance, instance);
  EXPECT_EQ(std::string(request.lpstrFilter, 21), std::string("All Files (*.*)\0*.*\0\0", 21));
  EXPECT_EQ(request.lpstrCustomFilter, nullptr);
  EXPECT_EQ(request.lpstrFile, selection);
  EXPECT_EQ(selection[0], '\0');
  EXPECT_EQ(request.nMaxFile, 25600u);
  EXPECT_EQ(request.lpstrFileTitle, nullptr);
  EXPECT_EQ(request.lpstrInitialDir, nullptr);
  EXPECT_STREQ(request.lpstrTitle, "File(s) To Send");
  EXPECT_EQ(request.Flags, 0x81204u);
  EXPECT_STREQ(request.lpstrDefExt, "*.*");
  EXPECT_EQ(request.nFilterIndex, 0u);
  EXPECT_EQ(request.lpfnHook, nullptr);
  EXPECT_EQ(request.FlagsEx, 0u);
}

TEST(ReceiveFolder, LongPathsAreRefusedNotCut) {
  struct Case {
    size_t length;
    bool stored;
  };
  for (const Case c : {Case{1, true}, Case{255, true}, Case{256, false}, Case{259, false}}) {
    static TransferJob job;
    std::strcpy(job.receiveFolder, "C:\\before");
    const std::string path(c.length, 'f');
    EXPECT_EQ(StoreReceiveFolder(job, path.c_str()), c.stored) << c.length;
    EXPECT_STREQ(job.receiveFolder, c.stored ? path.c_str() : "C:\\before") << c.length;
  }
}

// A hidden top-level window of this thread, standing for the main window:
// it records every command it is sent.
class HiddenWindow {
 public:
  HiddenWindow() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "ZarvekTestOwner";
    RegisterClassA(&windowClass);  // fails harmlessly when already registered
    handle_ = CreateWindowExA(0, "ZarvekTestOwner", "", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                              nullptr, GetModuleHandleA(nullptr), nullptr);
    commands().clear();
  }
  ~HiddenWindow() { DestroyWindow(handle_); }
  HWND handle() const { return handle_; }
  static std::vector<WORD>& commands() {
    static std::vector<WORD> list;
    return list;
  }

 private:
  static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
      commands().push_back(LOWORD(wParam));
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }
  HWND handle_;
};

class WindowUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    ASSERT_NE(owner_.handle(), nullptr);
    job_.mainWindow = owner_.handle();
    job_.statusField = CreateWindowExA(0, "EDIT", "", WS_CHILD | ES_READONLY, 17, 15, 300, 20,
                                       owner_.handle(), nullptr, nullptr, nullptr);
    job_.progressBar = CreateWindowExA(0, PROGRESS_CLASSA, "Progress Bar", WS_CHILD | PBS_SMOOTH, 17,
                                       50, 300, 15, owner_.handle(), nullptr, nullptr, nullptr);
    ASSERT_NE(job_.statusField, nullptr);
    ASSERT_NE(job_.progressBar, nullptr);
  }

  HiddenWindow owner_;
  TransferJob job_;
  WindowUi ui_{job_};
};

TEST_F(WindowUiTest, StatusTextAndProgress) {
  const auto field = static_cast<HWND>(job_.statusField);
  const auto bar = static_cast<HWND>(job_.progressBar);
  EXPECT_TRUE(ui_.setStatusText("C:\\data\\big.bin"));
  char text[64] = {};
  GetWindowTextA(field, text, sizeof text);
  EXPECT_STREQ(text, "C:\\data\\big.bin");

  // 200 MiB in 1 KiB chunks: past what a 16-bit range holds.
  ui_.setProgressRange(204800);
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 204800);
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);
  ui_.stepProgress();
  ui_.stepProgress();
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 2) << "one step per chunk";

  // Controls the window has removed: the request fails, nothing else happens.
  DestroyWindow(field);
  DestroyWindow(bar);
  EXPECT_FALSE(ui_.setStatusText("late"));
  ui_.stepProgress();
}

// Dismisses any message box this thread shows, so that a wait that times out
// fails the test instead of holding it, and keeps each box's text.
class DismissBoxes {
 public:
  DismissBoxes() : hook_(SetWindowsHookExA(WH_CBT, onCbt, nullptr, GetCurrentThreadId())) { texts().clear(); }
  ~DismissBoxes() { UnhookWindowsHookEx(hook_); }
  static std::vector<std::string>& texts() {
    static std::vector<std::string> shown;
    return shown;
  }

 private:
  static LRESULT CALLBACK onCbt(int code, WPARAM wParam, LPARAM lParam) {
    char kind[16] = {};
    if (code == HCBT_ACTIVATE && GetClassNameA(reinterpret_cast<HWND>(wParam), kind, sizeof kind) &&
        std::string(kind) == "#32770") {  // a dialog: the box, not its owner coming back
      const auto box = reinterpret_cast<HWND>(wParam);
      char text[1024] = {};
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // a message box's text control
      texts().push_back(text);
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }
  HHOOK hook_;
};

TEST_F(WindowUiTest, ReceivedFilesThatFailedAreNamedUntilTheNextAndListedAtTheEnd) {
  DismissBoxes dismiss;
  const auto shown = [this] {
    char text[256] = {};
    GetWindowTextA(static_cast<HWND>(job_.statusField), text, sizeof text);
    return std::string(text);
  };
  FileReport cut;
  cut.outcome = FileOutcome::Incomplete;
  cut.name = "cut.bin";
  cut.size = 2048;
  cut.written = 1024;
  FileReport refused;
  refused.outcome = FileOutcome::Refused;
  refused.name = "CON";
  refused.reason = "name is a reserved device name";

  ui_.setStatusText("cut.bin");
  ui_.fileEnded(cut);
  ui_.setStatusText("");  // the end of its file cycle
  EXPECT_EQ(shown(), "Not received: cut.bin (incomplete, 1024 of 2048 bytes arrived)");
  ui_.setStatusText("good.bin");
  FileReport good;
  good.name = "good.bin";
  ui_.fileEnded(good);
  ui_.setStatusText("");
  EXPECT_EQ(shown(), "") << "a complete file leaves the field empty";
  ui_.fileEnded(refused);
  EXPECT_EQ(shown(), "Not received: CON (refused: name is a reserved device name)");

  ui_.receiveEnded();
  ASSERT_EQ(DismissBoxes::texts().size(), 1u);
  const std::string& list = DismissBoxes::texts()[0];
  EXPECT_NE(list.find("cut.bin (incomplete"), std::string::npos) << list;
  EXPECT_NE(list.find("CON (refused"), std::string::npos) << list;
  EXPECT_EQ(list.find("good.bin"), std::string::npos) << list;
  ui_.receiveEnded();
  EXPECT_EQ(DismissBoxes::texts().size(), 1u) << "each run's list is shown once";
}

// The worker's frame around a role whose port cannot be opened: one warning,
// then the final Abort, delivered while the window thread waits for it.
TEST(TransferThread, PortThatCannotBeOpenedWarnsThenAborts) {
  DismissBoxes dismiss;
  struct Case {
    int32_t mode;
    bool warns;
  };
  for (const Case c : {Case{Sending, true}, Case{Receiving, true}, Case{0, false}}) {
    HiddenWindow window;
    ASSERT_NE(window.handle(), nullptr);
    static TransferJob job;
    setInitialValues(job);
    // No such device: opened as a plain path, which must already exist.
    std::strcpy(job.portName, "COMX");
    std::strcpy(job.selection, "Z:\\nonexistent\\file.bin");
    job.nextName = 0;
    job.mainWindow = window.handle();
    job.mode = c.mode;
    job.running = 1;
    test::RecordingUi ui;

    ASSERT_TRUE(StartTransferThread(job, ui));
    // The worker's Abort is a SendMessage to this thread: only a wait that
    // serves it lets the worker end before the guard limit.
    ASSERT_TRUE(WaitForPreviousThread(window.handle(), 10000, "worker did not end")) << c.mode;
    EXPECT_EQ(HiddenWindow::commands(), std::vector<WORD>{ID_ACTION_ABORT}) << c.mode;
    const auto messages = ui.messages();
    ASSERT_EQ(messages.size(), c.warns ? 1u : 0u) << c.mode;
    if (c.warns) {
      EXPECT_EQ(messages[0].text, "Select a different port.");
      EXPECT_EQ(messages[0].caption, "Whoopsy: COM port in use!");
      EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    }
    EXPECT_EQ(ui.sounds(), 0) << "no chime after a port that failed to open";
    // Forgotten once waited for: the next wait returns at once.
    EXPECT_TRUE(WaitForPreviousThread(window.handle(), 0, "nothing to wait for"));
  }
}

}  // namespace
}  // namespace zarvek
