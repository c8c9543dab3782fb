#include "base/wire_text.h"

namespace zarvek {

namespace {

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing past U+10FFFF. A name that differs only in such a form would pass
// as the same name to one check and as another to the next.
bool isUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char lead = *p++;
    if (lead < 0x80) continue;
    int more;
    unsigned char low = 0x80, high = 0xBF;  // the range of the byte after the lead
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
      return false;  // a continuation byte, an overlong C0/C1, or F5 and up
    }
    if (end - p < more) return false;
    if (*p < low || *p > high) return false;
    for (int i = 1; i < more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += more;
  }
  return true;
}

}  // namespace

// Linux takes any bytes as a name; the ones sent or made here are UTF-8.
std::optional<std::string> toWireText(const std::string& local) {
  if (!isUtf8(local)) return std::nullopt;
  return local;
}

std::optional<std::string> fromWireText(const std::string& wire) {
  if (!isUtf8(wire)) return std::nullopt;
  return wire;
}

}  // namespace zarvek
