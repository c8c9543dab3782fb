#pragma once
// The window's settings, kept per user between starts in
// %APPDATA%\Zarvek\zarvek.ini: the port, the speed, the retry limit, the
// receive folder and where the window stands. A start takes each kept value
// that is still good on this machine and leaves any other setting at its start
// value, without a word: nothing in that file can stop a start.
#include <windows.h>

#include <cstdint>
#include <string>

#include "job/transfer_job.h"

namespace zarvek {

// The part of a job that is kept, as it was before a dialog: only what the
// dialog changed is written.
struct KeptSettings {
  std::string port;
  int32_t speed = 0;
  int32_t retryLimit = 0;
  std::string receiveFolder;
};
KeptSettings keptSettings(const TransferJob& job);

// Right after setInitialValues. The receive folder: the kept one when it fits
// and can be written to, else the start folder when it can be, else the user's
// Documents. The port: a kept COMn the system lists now. The speed: one of
// kLineSpeeds. The retry limit: within kRetryLimitMin..kRetryLimitMax.
// `window` moves to the kept position when that is on a screen.
void loadSettings(TransferJob& job, HWND window);

// Writes each kept value of `job` that differs from `before`.
void saveChangedSettings(const KeptSettings& before, const TransferJob& job);

// Writes where `window` stands, unless it is minimised: the place of a
// minimised window is none to come back to.
void saveWindowPosition(HWND window);

}  // namespace zarvek
