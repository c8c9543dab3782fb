#pragma once
// The line speeds a port takes, the same on every platform: the command line
// offers them, and configure refuses any other alike everywhere (a Windows
// driver would take an odd rate that the other end cannot match).
#include <algorithm>
#include <cstdint>
#include <iterator>

namespace zarvek {

inline constexpr int32_t kLineSpeeds[] = {1200,  2400,   4800,   9600,   19200,  38400,
                                          57600, 115200, 230400, 460800, 921600};

inline bool isLineSpeed(int32_t speed) {
  return std::find(std::begin(kLineSpeeds), std::end(kLineSpeeds), speed) != std::end(kLineSpeeds);
}

}  // namespace zarvek
