#include <windows.h>

#include "base/system_text.h"

namespace zarvek {

std::string systemErrorText(unsigned long code) {
  char text[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string result(text, n);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) result.pop_back();
  return result.empty() ? "error " + std::to_string(code) : result;
}

}  // namespace zarvek
