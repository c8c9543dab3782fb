#pragma once
#include <string>

namespace zarvek {

// The system's own words for an error code (errno on Linux, GetLastError on
// Windows), for messages to a user.
std::string systemErrorText(unsigned long code);

}  // namespace zarvek
