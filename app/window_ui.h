#pragma once
// The window's side of the engines' seam: each event carried out on the
// controls of the run, as the program shows them. Called from the worker; every
// request to a control is a SendMessage that the window thread carries out
// before it returns, so each call is synchronous.
#include <windows.h>

#include <string>
#include <vector>

#include "job/transfer_job.h"
#include "job/transfer_ui.h"

namespace zarvek {

class WindowUi : public TransferUi {
 public:
  // The controls of the next run and its role; set before its worker starts.
  void attach(HWND mainWindow, HWND statusField, HWND progressBar, AppState role);

  // The status field shows the sender's full path or the received name; the
  // sender's bar gets the range 0..size/1024 (32-bit: a 16-bit range would
  // wrap from 64 MiB on) and the step 1.
  bool fileBegins(const std::string& name, uint64_t size) override;
  void progress(uint64_t done, uint64_t total) override;  // sender: one step of the bar
  // A file that failed for a system call: its error code, as any failed call.
  // A received file that did not arrive complete, and one that arrived
  // verified, stays named in the status field until the next file begins, and
  // is listed once receiving has ended: the receiving user learns of it without
  // a box that would hold the line.
  void fileEnded(const FileReport& report) override;
  void betweenFiles() override;  // the status field emptied
  void receiveEnded() override;
  // The sender's boxes: the retry limit reached, a file skipped, a line that failed.
  void retryLimitReached() override;
  // The error code, then the "Invalid Packet" box.
  void packetUnread(const Result& failure) override;
  // The error code as a bare number on standard output: the windowed
  // program's only record of a failed system call.
  void systemCallFailed(const Result& failure) override;
  void portNotOpened(const std::string& port, PortError error, const Result& failure) override;
  // "complete.wav" from the current directory, without waiting for its end;
  // nothing when the file is missing.
  void playCompletionSound() override;

  // What the status field says of a received file that did not arrive complete.
  static std::string failureNote(const FileReport& report);
  // ... and of one verified: "Verified: name (N bytes, streamed)", or, taken
  // up where an earlier send stopped, "Resumed: name (N bytes, from byte X)".
  static std::string verifiedNote(const FileReport& report);

 private:
  HWND mainWindow_ = nullptr;
  HWND statusField_ = nullptr;
  HWND progressBar_ = nullptr;
  AppState role_ = AppState::Idle;
  bool keepNote_ = false;              // the status field shows a failure note
  std::vector<std::string> failures_;  // of the current receive run
  std::vector<std::string> verified_;  // names, of the current receive run
};

}  // namespace zarvek
