#pragma once
// What both sides of a serial test agree on: packets holding every byte value, and their hex text.
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/packet.h"

namespace zarvek::test {

inline std::vector<uint8_t> allValuesPacket(int salt) {
  std::vector<uint8_t> p(kPacketSize);
  for (int32_t i = 0; i < kPacketSize; ++i) p[i] = static_cast<uint8_t>(i * 7 + i / 256 + salt);
  return p;
}

inline std::string hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) s += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return s;
}

}  // namespace zarvek::test
