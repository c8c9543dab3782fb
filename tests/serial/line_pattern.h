#pragma once
// A packet holding every byte value, shared by the native tests and the
// Windows peer program so that both sides know what should arrive.
#include <cstdint>
#include <vector>

#include "protocol/packet.h"

namespace zarvek::test {

inline std::vector<uint8_t> allValuesPacket(uint8_t salt = 0) {
  std::vector<uint8_t> p(kPacketSize);
  for (int32_t i = 0; i < kPacketSize; ++i) p[i] = static_cast<uint8_t>(i * 7 + i / 256 + salt);
  return p;
}

}  // namespace zarvek::test
