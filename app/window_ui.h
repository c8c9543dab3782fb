#pragma once
// The window's side of the engines' one seam: status text, progress bar,
// message boxes and the chime, carried out on the controls the job designates.
// Called from the worker; every request is a SendMessage to the window thread,
// which carries it out and returns, so each call is synchronous.
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

 private:
  const TransferJob& job_;
};

}  // namespace zarvek
