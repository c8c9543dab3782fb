#include "app/window_ui.h"

#include <commctrl.h>
#include <mmsystem.h>

#include <cstdio>
#include <limits>

namespace zarvek {

void WindowUi::attach(HWND mainWindow, HWND statusField, HWND progressBar, AppState role) {
  mainWindow_ = mainWindow;
  statusField_ = statusField;
  progressBar_ = progressBar;
  role_ = role;
  keepNote_ = false;
  failures_.clear();
  verified_.clear();
}

bool WindowUi::fileBegins(const std::string& name, uint64_t size) {
  keepNote_ = false;
  const bool shown = SetWindowTextA(statusField_, name.c_str()) != 0;
  if (role_ == AppState::Sending) {
    // The bar takes signed bounds; a chunk count never comes near the limit.
    const uint64_t chunks = size / 1024;
    const auto top = static_cast<LPARAM>(chunks > uint64_t(std::numeric_limits<int>::max())
                                             ? std::numeric_limits<int>::max()
                                             : int(chunks));
    SendMessageA(progressBar_, PBM_SETRANGE32, 0, top);
    SendMessageA(progressBar_, PBM_SETSTEP, 1, 0);
  }
  return shown;
}

void WindowUi::progress(uint64_t, uint64_t) {
  // The bar steps once per chunk delivered; the receiving window has none.
  if (role_ == AppState::Sending) SendMessageA(progressBar_, PBM_STEPIT, 0, 0);
}

std::string WindowUi::failureNote(const FileReport& r) {
  const std::string sizes = std::to_string(r.written) + " of " + std::to_string(r.size) + " bytes";
  std::string what;
  switch (r.outcome) {
    case FileOutcome::Incomplete:
      what = "incomplete, " + sizes + " arrived";
      break;
    case FileOutcome::AbortedDeleted:
      what = "aborted by the sender, deleted";
      break;
    case FileOutcome::Kept:
      what = "interrupted, kept with " + sizes;
      break;
    case FileOutcome::Refused:
      what = "refused: " + problemText(r);
      break;
    case FileOutcome::NotVerified:
      what = "did not match its checksum, deleted; the sender sends it again";
      break;
    case FileOutcome::Discarded:
      what = "interrupted before it was verified, deleted";
      break;
    case FileOutcome::Held:
      what = "interrupted, " + std::to_string(r.written) + " bytes kept to take up when it is sent again";
      break;
    default:
      return {};
  }
  return "Not received: " + r.name + " (" + what + ")";
}

std::string WindowUi::verifiedNote(const FileReport& r) {
  // Streamed files went without waiting for each packet's answer: said, so
  // that a slow transfer can be told from a fast one.
  const std::string streamed = r.streamed ? ", streamed" : "";
  const std::string size = std::to_string(r.size) + " bytes";
  if (r.resumedAt > 0) {
    return "Resumed: " + r.name + " (" + size + ", from byte " + std::to_string(r.resumedAt) + streamed + ")";
  }
  return "Verified: " + r.name + " (" + size + streamed + ")";
}

void WindowUi::fileEnded(const FileReport& report) {
  if (!report.failure && !report.failure.isRefusal()) systemCallFailed(report.failure);
  if (role_ != AppState::Receiving) {
    if (const std::string message = sendFailureMessage(report); !message.empty()) {
      MessageBoxA(mainWindow_, message.c_str(), "Error", MB_OK | MB_ICONERROR);
    }
    return;
  }
  std::string note = failureNote(report);
  if (!note.empty()) {
    failures_.push_back(note);
  } else if (report.folder) {
    note = "Folder made: " + report.name;
  } else if (report.verified) {
    note = verifiedNote(report);
    std::string how = report.resumedAt > 0 ? "resumed" : "";
    if (report.streamed) how += std::string(how.empty() ? "" : ", ") + "streamed";
    verified_.push_back(report.name + (how.empty() ? "" : " (" + how + ")"));
  } else {
    return;
  }
  SetWindowTextA(statusField_, note.c_str());
  keepNote_ = true;
}

void WindowUi::betweenFiles() {
  // The end of a file cycle empties the field; a failure note outlives it.
  if (!keepNote_) SetWindowTextA(statusField_, "");
}

void WindowUi::receiveEnded() {
  keepNote_ = false;
  if (failures_.empty() && verified_.empty()) return;
  std::string text;
  if (!failures_.empty()) {
    text = "These files did not arrive complete:\r\n";
    for (const auto& note : failures_) text += "\r\n" + note.substr(note.find(':') + 2);
  }
  if (!verified_.empty()) {
    text += std::string(text.empty() ? "" : "\r\n\r\n") + "These files arrived and were verified against the sender's:\r\n";
    for (const auto& name : verified_) text += "\r\n" + name;
  }
  const UINT icon = failures_.empty() ? MB_ICONINFORMATION : MB_ICONWARNING;
  failures_.clear();
  verified_.clear();
  MessageBoxA(mainWindow_, text.c_str(), "Receive Mode", MB_OK | icon);
}

void WindowUi::retryLimitReached() {
  MessageBoxA(mainWindow_, "Too Contiguous CRC Errors, Aborting Transmission", "CRC Errors", MB_OK | MB_ICONERROR);
}

void WindowUi::packetUnread(const Result& failure) {
  systemCallFailed(failure);
  MessageBoxA(mainWindow_, "Invalid Packet", "Error", MB_OK);
}

void WindowUi::systemCallFailed(const Result& failure) {
  if (failure.code() == 0) return;  // a step that sets no error code writes none
  std::printf("%lu", failure.code());
  std::fflush(stdout);
}

void WindowUi::portNotOpened(const std::string&, PortError, const Result& failure) {
  // Whatever the cause, as the classic program: the same words for every one.
  systemCallFailed(failure);
  MessageBoxA(mainWindow_, "Select a different port.", "Whoopsy: COM port in use!", MB_OK | MB_ICONWARNING);
}

void WindowUi::playCompletionSound() { PlaySoundA("complete.wav", nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT); }

}  // namespace zarvek
