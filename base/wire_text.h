#pragma once
// Names as they travel (UTF-8) and as the platform's file calls take them:
// UTF-8 on Linux, the ANSI code page on Windows (the file calls are the "A"
// ones). One implementation per platform.
#include <optional>
#include <string>

namespace zarvek {

// A local name in UTF-8; nullopt if it cannot be converted.
std::optional<std::string> toWireText(const std::string& local);
// A UTF-8 name as the local file calls take it; nullopt if it is not valid
// UTF-8 or holds a character the platform cannot name files with.
std::optional<std::string> fromWireText(const std::string& wire);

}  // namespace zarvek
