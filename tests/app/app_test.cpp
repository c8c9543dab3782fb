// The windowed program in-process, driven by messages: the main window and dialogs from the
// program's own resources (zarvek.rc is built in), its modes, the worker's frame, WindowUi.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/commands.h"
#include "app/dialogs.h"
#include "app/main_window.h"
#include "app/resource.h"
#include "app/transfer_thread.h"
#include "serial/port_name.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

using Ids = std::set<UINT>;
const Ids kIdleGrayed = {ID_ACTION_ABORT};
const Ids kBusyGrayed = {ID_ACTION_SEND, ID_ACTION_SENDFOLDER, ID_ACTION_RECEIVE, ID_SETUP_COMMSETUP,
                         ID_SETUP_RECEIVEFOLDER};

std::string textOf(HWND window) {
  char text[1024] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// Answers every message box of this process, whatever thread shows it, and
// keeps "caption: text" of each: a box nobody answers would hold the test.
class Boxes {
 public:
  explicit Boxes(int answer = IDOK) : answer_(answer), watcher_([this] {
    for (; !stop_; Sleep(20)) EnumWindows(visit, reinterpret_cast<LPARAM>(this));
  }) {}
  ~Boxes() {
    stop_ = true;
    watcher_.join();
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  static BOOL CALLBACK visit(HWND box, LPARAM self) {
    auto& me = *reinterpret_cast<Boxes*>(self);
    DWORD process = 0;
    GetWindowThreadProcessId(box, &process);
    char kind[16] = {};
    GetClassNameA(box, kind, sizeof kind);
    // A message box: a dialog whose text control has the id 0xFFFF.
    if (process == GetCurrentProcessId() && std::string(kind) == "#32770" && IsWindowVisible(box) &&
        GetDlgItem(box, 0xFFFF) != nullptr && me.answered_.insert(box).second) {
      std::lock_guard lock(me.mutex_);
      me.seen_.push_back(textOf(box) + ": " + textOf(GetDlgItem(box, 0xFFFF)));
      PostMessageA(box, WM_COMMAND, me.answer_, 0);
    }
    return TRUE;
  }
  const int answer_;
  std::atomic<bool> stop_{false};
  std::set<HWND> answered_;
  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::thread watcher_;
};

// The program's window, made and shown as WinMain does; every command it
// receives is counted on its way to MainWndProc.
class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registered = [instance = app_.appInstance] {
      INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
      return InitCommonControlsEx(&controls) && RegisterMainWindowClass(instance, GetSysColorBrush(COLOR_MENU));
    }();
    ASSERT_TRUE(registered);
    window_ = CreateMainWindow(app_);
    ASSERT_NE(window_, nullptr);
    ShowWindow(window_, SW_SHOW);
    commands.clear();
    SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(counting));
  }
  void TearDown() override {
    Boxes boxes;
    EXPECT_TRUE(WaitForPreviousThread(app_.workerThread, window_, 20000, "a worker was left running"));
    DestroyWindow(window_);
  }

  static inline std::vector<WORD> commands;
  static LRESULT CALLBACK counting(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) commands.push_back(LOWORD(wParam));
    return MainWndProc(window, message, wParam, lParam);
  }
  HWND child(const char* kind) const {
    return CreateWindowExA(0, kind, "", WS_CHILD | WS_VISIBLE, 17, 15, 300, 20, window_, nullptr, app_.appInstance,
                           nullptr);
  }
  Ids grayed() const {
    Ids ids;
    const HMENU bar = GetMenu(window_);
    for (int p = 0; p < GetMenuItemCount(bar); ++p) {
      const HMENU popup = GetSubMenu(bar, p);
      for (int i = 0; i < GetMenuItemCount(popup); ++i) {
        const UINT state = GetMenuState(popup, i, MF_BYPOSITION);
        if (!(state & MF_SEPARATOR) && (state & MF_GRAYED)) ids.insert(GetMenuItemID(popup, i));
      }
    }
    return ids;
  }
  // What a user sees: the title, the grayed commands, the visible controls.
  std::string view() const {
    std::string seen = textOf(window_);
    for (const UINT id : grayed()) seen += " " + std::to_string(id);
    for (HWND c = GetWindow(window_, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
      if (IsWindowVisible(c)) seen += " [" + textOf(c) + "]";
    return seen;
  }
  // A key as the message loop takes it: through the program's accelerators.
  void press(WORD key, bool control = false) {
    static const HACCEL table = LoadAcceleratorsA(app_.appInstance, MAKEINTRESOURCEA(IDR_ACCEL));
    BYTE keys[256] = {};
    keys[VK_CONTROL] = control ? 0x80 : 0;
    SetKeyboardState(keys);
    MSG message = {window_, WM_KEYDOWN, key, 1, GetTickCount(), {}};
    TranslateAcceleratorA(window_, table, &message);
  }
  Application app_{GetModuleHandleA(nullptr)};  // a fresh state for each test, outliving its window
  HWND window_ = nullptr;
};

// Refuses and counts every window this thread would make: a command that must
// do nothing fails the test instead of opening a dialog that waits.
struct NoNewWindows {
  static inline int made = 0;
  HHOOK hook;
  NoNewWindows() : hook(SetWindowsHookExA(WH_CBT, onCbt, nullptr, GetCurrentThreadId())) { made = 0; }
  ~NoNewWindows() { UnhookWindowsHookEx(hook); }
  static LRESULT CALLBACK onCbt(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) return ++made, 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }
};

// At idle each accelerator reaches its command (recorded, not carried out), but Esc:
// Abort is grayed. Then Receive on a port that cannot be opened, as the user sees it:
// the window busy, Esc, then the worker's warning and its own late Abort.
TEST_F(MainWindow, AcceleratorsThenAbortWhileBusyThenTheWorkersLateAbortChangesNothing) {
  Boxes boxes;
  SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) {
                      return m == WM_COMMAND ? (commands.push_back(LOWORD(wp)), 0) : MainWndProc(w, m, wp, lp);
                    }));
  for (const WORD key : {'S', 'R', 'E', 'C', 'F'}) press(key, true);
  press(VK_ESCAPE);
  EXPECT_EQ(commands, (std::vector<WORD>{ID_ACTION_SEND, ID_ACTION_RECEIVE, ID_ACTION_EXIT, ID_SETUP_COMMSETUP,
                                         ID_SETUP_RECEIVEFOLDER}));
  SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(counting));
  commands.clear();
  // The bar belongs to a send: leaving Receiving, the handle may be a stale
  // one of an earlier send, not to be destroyed again.
  app_.runControls.progressBar = child(PROGRESS_CLASSA);
  app_.transferJob.portName = "COMX";  // not a COM name: a plain path, which must exist
  OnCommand(app_, window_, ID_ACTION_RECEIVE);
  EXPECT_EQ(textOf(window_), "ZARVEK [RECEIVE MODE]");
  EXPECT_EQ(grayed(), kBusyGrayed);
  EXPECT_TRUE(IsWindowVisible(app_.runControls.statusField));
  {
    // Busy: neither their keys nor their commands start a run or open a dialog.
    NoNewWindows none;
    for (const WORD key : {'S', 'R', 'C', 'F'}) press(key, true);
    EXPECT_TRUE(commands.empty());
    for (const UINT id : kBusyGrayed) SendMessageA(window_, WM_COMMAND, id, 0);
    EXPECT_EQ(NoNewWindows::made, 0);
    EXPECT_EQ(app_.appState, AppState::Receiving);
  }
  commands.clear();
  press(VK_ESCAPE);
  EXPECT_EQ(app_.transferJob.running, 0);
  EXPECT_EQ(app_.appState, AppState::Idle);
  EXPECT_EQ(textOf(window_), "ZARVEK [IDLE]");
  EXPECT_EQ(grayed(), kIdleGrayed);
  EXPECT_FALSE(IsWindowVisible(app_.runControls.statusField));
  EXPECT_TRUE(IsWindow(app_.runControls.progressBar)) << "the stale bar was destroyed";
  const std::string idle = view();
  ASSERT_TRUE(WaitForPreviousThread(app_.workerThread, window_, 20000, "the worker did not end"));
  EXPECT_EQ(view(), idle);
  EXPECT_EQ(commands, std::vector<WORD>(2, ID_ACTION_ABORT)) << "Esc's, then the worker's";
  EXPECT_EQ(boxes.seen(), std::vector<std::string>{"Whoopsy: COM port in use!: Select a different port."});
}

// The worker's frame in each role: the port's failure reported once, then one
// final command, sent while the window thread waits; no chime.
TEST_F(MainWindow, WorkerOnAPortThatCannotBeOpenedEndsWithOneCommand) {
  Boxes boxes;  // a wait that fails says so in a box
  for (const AppState role : {AppState::Sending, AppState::Receiving, AppState::Idle}) {
    static TransferJob job;
    setInitialValues(job);
    job.portName = "COMX", job.files = {"Z:\\nonexistent\\file.bin"}, job.mode = role, job.running = 1;
    test::RecordingUi ui;
    commands.clear();
    UniqueHandle worker = StartTransferThread(job, ui, window_, ID_ACTION_ABORT);
    ASSERT_TRUE(worker);
    // Only a wait that serves the worker's SendMessage lets it end in time.
    ASSERT_TRUE(WaitForPreviousThread(worker, window_, 20000, "the worker did not end")) << int(role);
    EXPECT_EQ(commands, std::vector<WORD>{ID_ACTION_ABORT}) << int(role);
    EXPECT_EQ(ui.events(), role == AppState::Idle ? std::vector<std::string>{} : std::vector<std::string>{"port"});
    EXPECT_EQ(ui.sounds(), 0);
    EXPECT_FALSE(worker) << "a worker waited for is forgotten";
  }
}

// The close box goes through Exit: it asks while busy, and only OK ends; a send
// ended so goes back to idle, its bar with it.
TEST_F(MainWindow, ExitAsksWhileBusyAndCancelKeepsTheTransfer) {
  // asked: "" when it does not ask; running: the flag the worker watches (the receiver is not told).
  struct Case { AppState mode; int answer; const char* asked; bool quits, running; };
  const char* sending = "Sending Data!: Data Transfer in Progress, Exit Zarvek?";
  const char* receiving = "Receive Mode: Still In Receive Mode, Exit Zarvek?";
  for (const Case c : {Case{AppState::Sending, IDCANCEL, sending, false, true},
                       Case{AppState::Sending, IDOK, sending, true, false},
                       Case{AppState::Receiving, IDCANCEL, receiving, false, true},
                       Case{AppState::Receiving, IDOK, receiving, true, true},
                       Case{AppState::Idle, IDOK, "", true, true}}) {
    SCOPED_TRACE(std::to_string(int(c.mode)) + " answered " + std::to_string(c.answer));
    Boxes boxes(c.answer);
    app_.appState = c.mode;
    app_.transferJob.running = 1;
    app_.runControls.progressBar = child(PROGRESS_CLASSA);
    SendMessageA(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(boxes.seen(), *c.asked ? std::vector<std::string>{c.asked} : std::vector<std::string>{});
    MSG quit;
    EXPECT_EQ(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0, c.quits);
    EXPECT_EQ(app_.transferJob.running != 0, c.running);
    EXPECT_EQ(app_.appState, c.mode == AppState::Sending && c.quits ? AppState::Idle : c.mode);
    EXPECT_EQ(IsWindow(app_.runControls.progressBar) != 0, app_.appState == c.mode)
        << "only a send ended takes its bar";
    EXPECT_TRUE(IsWindow(window_)) << "Exit decides, not the default handling";
  }
}

// WindowUi shows the file and steps a bar past 16 bits. The receiving user learns of a
// file that failed without a box that would hold the line: named until the next file,
// listed once the receive has ended.
TEST_F(MainWindow, WindowUiShowsFilesStepsTheBarAndListsTheFailed) {
  Boxes boxes;
  const HWND field = child("EDIT"), bar = child(PROGRESS_CLASSA);
  WindowUi ui;
  ui.attach(window_, field, bar, AppState::Sending);
  EXPECT_TRUE(ui.fileBegins("C:\\data\\big.bin", 200ull << 20));  // 204800 chunks: past 16 bits
  EXPECT_EQ(textOf(field), "C:\\data\\big.bin");
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 204800);
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);
  for (uint64_t chunk = 1; chunk <= 2; ++chunk) ui.progress(chunk * 1024, 200ull << 20);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 2) << "one step per chunk";

  const auto report = [](FileOutcome outcome, const char* name, uint64_t size, uint64_t written,
                         FileProblem problem = FileProblem::None) {
    FileReport r;
    r.outcome = outcome;
    r.name = name;
    r.size = size;
    r.written = written;
    r.problem = problem;
    return r;
  };
  ui.attach(window_, field, nullptr, AppState::Receiving);
  ui.fileBegins("cut.bin", 2048);
  ui.fileEnded(report(FileOutcome::Incomplete, "cut.bin", 2048, 1024));
  ui.betweenFiles();
  EXPECT_EQ(textOf(field), "Not received: cut.bin (incomplete, 1024 of 2048 bytes arrived)");
  ui.fileBegins("good.bin", 10);
  ui.fileEnded(report(FileOutcome::Complete, "good.bin", 10, 10));
  ui.betweenFiles();
  EXPECT_EQ(textOf(field), "") << "a complete file leaves the field empty";
  ui.fileEnded(report(FileOutcome::Refused, "CON", 0, 0, FileProblem::NameReserved));
  EXPECT_EQ(textOf(field), "Not received: CON (refused: name is a reserved device name)");
  ui.fileEnded(report(FileOutcome::Held, "held.bin", 4096, 1024));
  EXPECT_EQ(textOf(field), "Not received: held.bin (interrupted, 1024 bytes kept to take up when it is sent again)");
  // A verified file says whether it was taken up where an earlier send stopped.
  FileReport resumed = report(FileOutcome::Complete, "again.bin", 4096, 4096);
  resumed.verified = resumed.streamed = true;
  resumed.resumedAt = 1024;
  ui.fileEnded(resumed);
  EXPECT_EQ(textOf(field), "Resumed: again.bin (4096 bytes, from byte 1024, streamed)");
  resumed.resumedAt = 0;
  ui.fileEnded(resumed);
  EXPECT_EQ(textOf(field), "Verified: again.bin (4096 bytes, streamed)");
  FileReport folder = report(FileOutcome::Complete, "tree/sub", 0, 0);
  folder.folder = folder.verified = true;
  ui.fileEnded(folder);
  EXPECT_EQ(textOf(field), "Folder made: tree/sub");
  ui.receiveEnded();
  ui.receiveEnded();
  const auto lists = boxes.seen();
  ASSERT_EQ(lists.size(), 1u) << "each run's list is shown once";
  EXPECT_NE(lists[0].find("cut.bin (incomplete"), std::string::npos) << lists[0];
  EXPECT_NE(lists[0].find("CON (refused"), std::string::npos) << lists[0];
  EXPECT_NE(lists[0].find("held.bin (interrupted"), std::string::npos) << lists[0];
  EXPECT_NE(lists[0].find("again.bin (resumed, streamed)"), std::string::npos) << lists[0];
  EXPECT_EQ(lists[0].find("good.bin"), std::string::npos) << lists[0];
  DestroyWindow(field);
  EXPECT_FALSE(ui.fileBegins("late.bin", 1)) << "a name the window cannot show is refused";
}

// A folder sent goes whole, each file and folder with its path under the folder's own
// name; what it leaves out is listed first, and Cancel there sends nothing.
TEST_F(MainWindow, SendFolderListsWhatIsLeftOutThenSendsTheRest) {
  test::TempDir dir;
  std::filesystem::create_directories(dir / "tree" / "sub");
  test::writeFile(dir / "tree" / "a.txt", "a");
  test::writeFile(dir / "tree" / "sub" / "b.txt", "b");
  std::error_code noLink;
  std::filesystem::create_symlink(dir / "tree" / "a.txt", dir / "tree" / "link", noLink);
  app_.transferJob.portName = "COMX";  // the worker ends at once: no such port
  const std::string tree = (dir / "tree").string();
  if (!noLink) {
    Boxes cancel(IDCANCEL);
    EXPECT_FALSE(SendFolder(app_, window_, tree));
    EXPECT_TRUE(app_.transferJob.files.empty() && app_.transferJob.wirePaths.empty());
    EXPECT_EQ(app_.appState, AppState::Idle);
    const auto seen = cancel.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find((dir / "tree" / "link").string() + " (a link"), std::string::npos) << seen[0];
  }
  Boxes boxes;
  ASSERT_TRUE(SendFolder(app_, window_, tree));
  EXPECT_EQ(textOf(window_), "ZARVEK [SEND MODE]");
  EXPECT_EQ(app_.transferJob.wirePaths, (std::vector<std::string>{"tree/a.txt", "tree/sub/b.txt", "tree/sub/", "tree/"}));
  EXPECT_EQ(app_.transferJob.files.size(), app_.transferJob.wirePaths.size());
  EXPECT_EQ(app_.transferJob.files.front(), (dir / "tree" / "a.txt").string());
  ASSERT_TRUE(WaitForPreviousThread(app_.workerThread, window_, 20000, "the worker did not end"));
  EXPECT_EQ(app_.appState, AppState::Idle);
}

TEST(Selection, PathsFromTheDialogsBuffer) {
  struct Case { std::string buffer; int32_t firstName; std::vector<std::string> paths; };
  const std::string z(1, '\0');
  const Case cases[] = {
      {"C:\\dir\\a.txt" + z + z, 7, {"C:\\dir\\a.txt"}},
      {"C:\\dir" + z + "a.txt" + z + "b.txt" + z + z, 7, {"C:\\dir\\a.txt", "C:\\dir\\b.txt"}},
      {"C:\\" + z + "a.txt" + z + "b.txt" + z + z, 4, {"C:\\a.txt", "C:\\b.txt"}},
      {"C:\\dir" + z + "a.txt" + z + "bbb", 7, {"C:\\dir\\a.txt"}},  // the last name unterminated
      {"C:\\dir" + z + z, 7, {}},
      {"C:\\dir" + z + "a.txt" + z + z, 0, {}},
      {"C:\\dir" + z + "a.txt" + z + z, 14, {}},  // at the buffer's end
  };
  for (const Case& c : cases) {
    EXPECT_EQ(selectedPaths(c.buffer.data(), int32_t(c.buffer.size()), c.firstName), c.paths)
        << c.buffer.c_str() << " at " << c.firstName;
  }
}

// What the file dialog is asked for. Wine's dialog takes several names even
// without OFN_ALLOWMULTISELECT: only this shows the flag missing.
TEST(FileOpenRequest, Fields) {
  static char selection[kSelectionSize];
  selection[0] = 'x';
  OPENFILENAMEA r;
  std::memset(&r, 0x5A, sizeof r);  // every field not set must come out zero
  InitFileOpenRequest(r, reinterpret_cast<HWND>(0x1234), selection, reinterpret_cast<HINSTANCE>(0x5678));
  EXPECT_EQ(r.lStructSize, OPENFILENAME_SIZE_VERSION_400A);
  EXPECT_TRUE(r.hwndOwner == reinterpret_cast<HWND>(0x1234) && r.hInstance == reinterpret_cast<HINSTANCE>(0x5678));
  EXPECT_EQ(std::string(r.lpstrFilter, 21), std::string("All Files (*.*)\0*.*\0\0", 21));
  EXPECT_TRUE(r.lpstrFile == selection && r.nMaxFile == DWORD(kSelectionSize));
  EXPECT_EQ(selection[0], '\0') << "an empty name, not the last selection";
  EXPECT_STREQ(r.lpstrTitle, "File(s) To Send");
  EXPECT_EQ(r.Flags, DWORD(OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY));
  EXPECT_STREQ(r.lpstrDefExt, "*.*");
  EXPECT_TRUE(!r.lpstrCustomFilter && !r.lpstrFileTitle && !r.lpstrInitialDir && !r.lpfnHook && !r.nFilterIndex);
}

// A folder too long for the field is refused, not cut: one chosen leaves the job's as it
// was; a start folder leaves it empty. (The other start values: settings_test.cpp.)
TEST(ReceiveFolder, LongPathsAreRefusedNotCut) {
  for (const size_t length : {1, 255, 256, 259}) {
    static TransferJob job;
    job.receiveFolder = "C:\\before";
    const std::string path(length, 'f');
    const bool fits = length <= 255;  // the field's 256 bytes with the terminator
    EXPECT_EQ(StoreReceiveFolder(job, path.c_str()), fits) << length;
    EXPECT_EQ(job.receiveFolder, fits ? path : "C:\\before") << length;
  }
  char start[MAX_PATH] = {};
  ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, start), 0u);
  test::TempDir dir;
  std::string deep = dir.str();
  while (deep.size() < 256) {
    deep += "\\" + std::string(std::min<size_t>(50, 258 - deep.size()), 'd');
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
  }
  ASSERT_TRUE(SetCurrentDirectoryA(deep.c_str())) << deep.size();
  TransferJob deepJob{};
  setInitialValues(deepJob);
  SetCurrentDirectoryA(start);
  EXPECT_EQ(deepJob.receiveFolder, "") << "started in a folder of " << deep.size() << " characters";
}

// A dialog of the program's, modeless so that the test drives it. Keys go
// through the dialog manager as in the modal loop; a closed one is hidden (EndDialog).
struct Dialog {
  HWND d;
  Dialog(int id, DLGPROC proc, void* param = nullptr)
      : d(CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), 0, proc, LPARAM(param))) {
    ShowWindow(d, SW_SHOW);
  }
  ~Dialog() { DestroyWindow(d); }
  std::string text(int id) const { return textOf(GetDlgItem(d, id)); }
  bool open() const { return IsWindowVisible(d) != 0; }
  void press(int button) { SendMessageA(d, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), LPARAM(GetDlgItem(d, button))); }
  void keys(std::initializer_list<WPARAM> keys, bool closeBox = false) {
    for (const WPARAM key : keys) PostMessageA(d, WM_KEYDOWN, key, 0);
    if (closeBox) SendMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);
    for (MSG m; PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);)
      if (!IsDialogMessageA(d, &m)) DispatchMessageA(&m);
  }
};

TEST(Dialogs, CommSetupShowsTheJobAndTakesEachChoiceAtOnce) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  ASSERT_TRUE(InitCommonControlsEx(&controls));
  TransferJob job;
  job.portName = "COM3", job.speed = 57600, job.crcRetryLimit = 7;
  Dialog d(IDD_COMMSETUP, CommSetupDlgProc, &job);
  ASSERT_NE(d.d, nullptr);
  const HWND slider = GetDlgItem(d.d, IDC_RETRY_SLIDER);
  EXPECT_EQ(d.text(IDC_PORT_SHOWN) + " " + d.text(IDC_SPEED_SHOWN) + " " + d.text(IDC_RETRY_VALUE), "COM3 57600 7");
  EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), 7);

  // Each press differs from the value before it; a button's text is its value.
  for (const int b : {IDC_PORT_COM1, IDC_PORT_COM2, IDC_PORT_COM4, IDC_PORT_COM3, IDC_SPEED_9600, IDC_SPEED_19200,
                      IDC_SPEED_115200, IDC_SPEED_230400, IDC_SPEED_460800, IDC_SPEED_921600, IDC_SPEED_57600}) {
    d.press(b);
    const bool port = d.text(b).starts_with("COM");
    EXPECT_EQ(d.text(port ? IDC_PORT_SHOWN : IDC_SPEED_SHOWN), d.text(b));
    EXPECT_EQ(port ? job.portName : std::to_string(job.speed), d.text(b));
  }
  // The ports present (the test prefix pins COM1..COM9 and COM12), in number order, the job's
  // selected; a choice in the list sets the port as a button does, and a button selects its item.
  const HWND list = GetDlgItem(d.d, IDC_PORT_LIST);
  const auto item = [&](LRESULT i) {  // the port's name, before its friendly name if it has one
    char text[256] = {};
    SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    return std::string(text).substr(0, std::string(text).find(' '));
  };
  LRESULT com12 = -1;
  for (LRESULT i = 0; i < SendMessageA(list, LB_GETCOUNT, 0, 0); ++i) {
    if (item(i) == "COM12") com12 = i;
    if (i > 0) {
      EXPECT_LT(comNumber(item(i - 1)), comNumber(item(i))) << item(i);
    }
  }
  ASSERT_GT(com12, 0) << "COM12 is not listed";
  EXPECT_EQ(item(0), "COM1");
  EXPECT_EQ(item(SendMessageA(list, LB_GETCURSEL, 0, 0)), "COM3");
  SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(com12), 0);
  SendMessageA(d.d, WM_COMMAND, MAKEWPARAM(IDC_PORT_LIST, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
  EXPECT_EQ(job.portName, "COM12");
  EXPECT_EQ(d.text(IDC_PORT_SHOWN), "COM12");
  d.press(IDC_PORT_COM2);
  EXPECT_EQ(item(SendMessageA(list, LB_GETCURSEL, 0, 0)), "COM2");
  // The slider's own keys: it runs from 1 to 20, and the box and the job follow.
  for (const auto& [key, at] : std::vector<std::pair<WPARAM, int>>{
           {VK_HOME, 1}, {VK_LEFT, 1}, {VK_RIGHT, 2}, {VK_END, 20}, {VK_RIGHT, 20}, {VK_LEFT, 19}}) {
    SendMessageA(slider, WM_KEYDOWN, key, 0);
    EXPECT_EQ(SendMessageA(slider, TBM_GETPOS, 0, 0), at) << key;
    EXPECT_EQ(d.text(IDC_RETRY_VALUE), std::to_string(at)) << key;
    EXPECT_EQ(job.crcRetryLimit, at) << key;
  }
  // There is no Cancel: Esc and the close box do nothing; Enter is OK.
  d.keys({VK_ESCAPE}, true);
  EXPECT_TRUE(d.open());
  d.keys({VK_RETURN});
  EXPECT_FALSE(d.open());
}

TEST(Dialogs, AboutShowsTheLogoAndClosesOnlyByOk) {
  Dialog d(IDD_ABOUT, AboutDlgProc);
  ASSERT_NE(d.d, nullptr);
  bool logo = false;
  for (HWND c = GetWindow(d.d, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
    logo |= SendMessageA(c, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
  EXPECT_TRUE(logo) << "the logo did not load";
  d.keys({VK_ESCAPE, VK_RETURN}, true);  // OK is not the default button
  EXPECT_TRUE(d.open());
  d.press(IDC_ABOUT_OK);
  EXPECT_FALSE(d.open());
}

}  // namespace
}  // namespace zarvek
