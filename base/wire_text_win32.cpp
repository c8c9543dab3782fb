#include <windows.h>

#include <climits>

#include "base/wire_text.h"

namespace zarvek {

namespace {

// Text in code page `from` as UTF-16; nullopt on any byte sequence it does not define.
std::optional<std::wstring> wide(UINT from, const std::string& text) {
  if (text.size() > INT_MAX) return std::nullopt;
  const int length = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), n) != n) return std::nullopt;
  return out;
}

// UTF-16 in code page `to`. `usedDefault` null: every character is known to
// be representable (UTF-8, which refuses the flag and the argument).
std::optional<std::string> narrow(UINT to, DWORD flags, const std::wstring& text, BOOL* usedDefault) {
  const int length = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(to, flags, text.data(), length, nullptr, 0, nullptr, usedDefault);
  if (n <= 0 || (usedDefault != nullptr && *usedDefault)) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(to, flags, text.data(), length, out.data(), n, nullptr, nullptr) != n) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> toWireText(const std::string& local) {
  if (local.empty()) return local;  // the calls below take an empty text as an error
  const std::optional<std::wstring> text = wide(CP_ACP, local);
  if (!text) return std::nullopt;
  return narrow(CP_UTF8, WC_ERR_INVALID_CHARS, *text, nullptr);
}

std::optional<std::string> fromWireText(const std::string& wire) {
  if (wire.empty()) return wire;
  const std::optional<std::wstring> text = wide(CP_UTF8, wire);
  if (!text) return std::nullopt;
  // Where the ANSI code page is UTF-8 itself, the checked text is the name.
  if (GetACP() == CP_UTF8) return wire;
  // No best fit and no default character: "Ā" made "A", or "日" made "?",
  // would name another file than the one sent.
  BOOL usedDefault = FALSE;
  return narrow(CP_ACP, WC_NO_BEST_FIT_CHARS, *text, &usedDefault);
}

}  // namespace zarvek
