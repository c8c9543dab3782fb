#include "app/window_ui.h"

#include <windows.h>
#include <commctrl.h>
#include <mmsystem.h>

#include <limits>

namespace zarvek {

bool WindowUi::setStatusText(const char* text) {
  return SetWindowTextA(static_cast<HWND>(job_.statusField), text) != 0;
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
