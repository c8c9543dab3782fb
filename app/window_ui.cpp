#include "app/window_ui.h"

#include <windows.h>
#include <commctrl.h>
#include <mmsystem.h>

#include <limits>

namespace zarvek {

bool WindowUi::setStatusText(const char* text) {
  // The end of a file cycle empties the field; a failure note outlives it.
  if (keepNote_ && text[0] == '\0') return true;
  keepNote_ = false;
  return SetWindowTextA(static_cast<HWND>(job_.statusField), text) != 0;
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
      what = "refused: " + r.reason;
      break;
    default:
      return {};
  }
  return "Not received: " + r.name + " (" + what + ")";
}

void WindowUi::fileEnded(const FileReport& report) {
  const std::string note = failureNote(report);
  if (note.empty()) return;
  failures_.push_back(note);
  SetWindowTextA(static_cast<HWND>(job_.statusField), note.c_str());
  keepNote_ = true;
}

void WindowUi::receiveEnded() {
  keepNote_ = false;
  if (failures_.empty()) return;
  std::string text = "These files did not arrive complete:\r\n";
  for (const auto& note : failures_) text += "\r\n" + note.substr(note.find(':') + 2);
  failures_.clear();
  MessageBoxA(static_cast<HWND>(job_.mainWindow), text.c_str(), "Receive Mode", MB_OK | MB_ICONWARNING);
}

void WindowUi::setProgressRange(uint32_t upper) {
  const auto bar = static_cast<HWND>(job_.progressBar);
  // The bar takes signed bounds; a chunk count never comes near the limit.
  const auto top = static_cast<LPARAM>(upper > uint32_t(std::numeric_limits<int>::max())
                                           ? std::numeric_limits<int>::max()
                                           : int(upper));
  SendMessageA(bar, PBM_SETRANGE32, 0, top);
  SendMessageA(bar, PBM_SETSTEP, 1, 0);
}

void WindowUi::stepProgress() {
  SendMessageA(static_cast<HWND>(job_.progressBar), PBM_STEPIT, 0, 0);
}

void WindowUi::showMessage(const char* text, const char* caption, MessageIcon icon) {
  UINT type = MB_OK;
  if (icon == MessageIcon::Warning) type |= MB_ICONWARNING;
  if (icon == MessageIcon::Error) type |= MB_ICONERROR;
  MessageBoxA(static_cast<HWND>(job_.mainWindow), text, caption, type);
}

void WindowUi::playCompletionSound() {
  PlaySoundA("complete.wav", nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT);
}

}  // namespace zarvek
