// The kept settings across starts, in this test's own Wine prefix: zarvek.ini under its APPDATA.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "app/commands.h"
#include "app/main_window.h"
#include "app/resource.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

std::string shellFolder(int csidl) {
  char path[MAX_PATH] = {};
  return SUCCEEDED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) ? path : "";
}
const std::string kFolder = shellFolder(CSIDL_APPDATA) + "\\Zarvek", kIni = kFolder + "\\zarvek.ini";
const bool kRegistered = [] {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};  // Comm Setup's slider
  return InitCommonControlsEx(&controls) &&
         RegisterMainWindowClass(GetModuleHandleA(nullptr), GetSysColorBrush(COLOR_MENU));
}();

// The file as a user or a crash left it (none for ""), the system's cached copy dropped.
void keep(const std::string& bytes) {
  DeleteFileA(kIni.c_str());
  CreateDirectoryA(kFolder.c_str(), nullptr);
  if (!bytes.empty()) test::writeFile(kIni, bytes);
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, kIni.c_str());
}

// A start as WinMain makes it; shown() is "port speed retries folder x,y".
struct Started {
  Application app{GetModuleHandleA(nullptr)};
  HWND window = CreateMainWindow(app);
  ~Started() { DestroyWindow(window); }
  std::string shown() const {
    RECT r{};
    GetWindowRect(window, &r);
    const TransferJob& j = app.transferJob;
    return j.portName + " " + std::to_string(j.speed) + " " + std::to_string(j.crcRetryLimit) + " " +
           j.receiveFolder + " " + std::to_string(r.left) + "," + std::to_string(r.top);
  }
};

TEST(Settings, GoodValuesAreKeptAndEachBadOneFallsBackToItsStartValue) {
  ASSERT_TRUE(kRegistered);
  const test::TempDir dir;
  const std::string kept = dir.str(), start = std::filesystem::current_path().string();
  const std::string ini = "[Zarvek]\nPort=COM3\nSpeed=57600\nRetryLimit=7\nReceiveFolder=" + kept + "\nX=300\nY=250\n";
  const auto with = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  // A value of the good file changed, and what shows instead of the kept one.
  struct Case { std::string from, to, kept, shown; };
  for (const Case& c : {Case{"COM3", "com12", "COM3", "COM12"},  // cmake/wine-prefix.sh pins COM12
                        {"COM3", "COM99", "COM3", "COM2"}, {"COM3", "\x01\xff\x80" "COM3", "COM3", "COM2"},
                        {"57600", "921600", "57600", "921600"}, {"57600", "12345", "57600", "115200"},
                        {"=7", "=20", " 7 ", " 20 "}, {"=7", "=21", " 7 ", " 4 "}, {"=7", "=four", " 7 ", " 4 "},
                        {kept, "C:\\gone", kept, start}, {kept, std::string(10000, 'f'), kept, start},
                        {"X=300", "X=-5000", "300,250", "200,200"},  // off every screen
                        {"Y=250", "Y=", "300,250", "200,200"}}) {
    keep(with(ini, c.from, c.to));
    EXPECT_EQ(Started().shown(), with("COM3 57600 7 " + kept + " 300,250", c.kept, c.shown)) << c.to.substr(0, 20);
  }
  keep(ini);
  EXPECT_EQ(Started().app.helpPath, start + "\\zarvek.hlp") << "help stays in the start folder";
  for (const std::string& damaged : {std::string(), test::randomBytes(4096, 3)}) {
    keep(damaged);
    EXPECT_EQ(Started().shown(), "COM2 115200 4 " + start + " 200,200") << damaged.size();
  }
}

std::function<void(HWND)> answer;  // to the dialog that the next command opens

// Carries out `command`; a timer of this thread, run by the dialog's modal loop, answers the dialog.
void answered(Started& s, WORD command) {
  static HWND window;
  window = s.window;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
    const HWND dialog = GetActiveWindow();
    if (dialog != nullptr && dialog != window && answer) std::exchange(answer, nullptr)(dialog);
  });
  OnCommand(s.app, s.window, command);
  KillTimer(nullptr, timer);
}

TEST(Settings, WhatTheUserChangesIsThereAtTheNextStart) {
  keep("");
  RemoveDirectoryA(kFolder.c_str());  // the first save makes it
  // On a drive's root: this Wine's browser finds no folder by path in the user's profile.
  const std::string chosen = "C:\\zarvek-chosen-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryA(chosen.c_str(), nullptr));
  {
    Started s;
    answer = [&](HWND dialog) {
      s.app.transferJob.portName = "COM4", s.app.transferJob.speed = 19200, s.app.transferJob.crcRetryLimit = 12;
      SendMessageA(dialog, WM_COMMAND, IDC_COMM_OK, 0);
    };
    answered(s, ID_SETUP_COMMSETUP);
    answer = [&](HWND browser) {
      SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(chosen.c_str()));
      SendMessageA(browser, WM_COMMAND, IDOK, 0);
    };
    answered(s, ID_SETUP_RECEIVEFOLDER);
    SetWindowPos(s.window, nullptr, 310, 260, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SendMessageA(s.window, WM_EXITSIZEMOVE, 0, 0);  // the end of a drag
  }
  Started s;
  EXPECT_EQ(s.shown(), "COM4 19200 12 " + chosen + " 310,260");
  SetWindowPos(s.window, nullptr, 320, 270, 0, 0, SWP_NOSIZE | SWP_NOZORDER);  // no drag: kept at Exit
  SendMessageA(s.window, WM_CLOSE, 0, 0);
  MSG quit;
  EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(Started().shown(), "COM4 19200 12 " + chosen + " 320,270");
  RemoveDirectoryA(chosen.c_str());
}

// A start folder nobody may write to (the system's /proc, through Wine's Z:) or the program's
// own under Program Files (which Wine lets anyone write, as an elevated start would): received
// files go to Documents, and so they do when the kept folder has gone. A folder whose name only
// begins like Program Files is the user's choice.
TEST(Settings, AStartFolderThatCannotBeWrittenGivesWayToDocuments) {
  const std::filesystem::path before = std::filesystem::current_path();
  const std::string programFiles = shellFolder(CSIDL_PROGRAM_FILES), installed = programFiles + "\\zarvek";
  const std::string lookalike = programFiles + " Old";
  for (const std::string& folder : {installed, lookalike}) CreateDirectoryA(folder.c_str(), nullptr);
  for (const std::string start : {"Z:\\proc", installed.c_str(), programFiles.c_str()}) {
    std::filesystem::current_path(start);
    for (const std::string ini : {"", "[Zarvek]\nReceiveFolder=C:\\gone\n"}) {
      keep(ini);
      EXPECT_EQ(Started().app.transferJob.receiveFolder, shellFolder(CSIDL_PERSONAL)) << start << " " << ini;
    }
  }
  std::filesystem::current_path(lookalike);
  keep("");
  EXPECT_EQ(Started().app.transferJob.receiveFolder, lookalike);
  std::filesystem::current_path(before);
  for (const std::string& folder : {installed, lookalike}) RemoveDirectoryA(folder.c_str());
}

}  // namespace
}  // namespace zarvek
