#pragma once
// The window's side of the engines' one seam: status text, progress bar,
// message boxes and the chime, carried out on the controls the job designates.
// Called from the worker; every request is a SendMessage to the window thread,
// which carries it out and returns, so each call is synchronous.
#include <string>
#include <vector>

#include "job/transfer_job.h"
#include "job/transfer_ui.h"

namespace zarvek {

class WindowUi : public TransferUi {
 public:
  explicit WindowUi(const TransferJob& job) : job_(job) {}

  bool setStatusText(const char* text) override;
  // A 32-bit range: a 16-bit one would wrap for files from 64 MiB on.
  void setProgressRange(uint32_t upper) override;
  void stepProgress() override;
  void showMessage(const char* text, const char* caption, MessageIcon icon) override;
  // "complete.wav" from the current directory, without waiting for its end;
  // nothing when the file is missing.
  void playCompletionSound() override;
  // A received file that did not arrive complete stays named in the status
  // field until the next file begins, and is listed once receiving has ended:
  // the receiving user must learn of it without a box that would hold the line.
  void fileEnded(const FileReport& report) override;
  void receiveEnded() override;

  // What the status field says of a received file that did not arrive complete.
  static std::string failureNote(const FileReport& report);

 private:
  const TransferJob& job_;
  bool keepNote_ = false;              // the status field shows a failure note
  std::vector<std::string> failures_;  // of the current receive run
};

}  // namespace zarvek
