#include "protocol/packet.h"

#include <cstring>

namespace zarvek {
namespace {

// CRC-16/ARC register change for each nibble value.
constexpr uint16_t kNibbleTable[16] = {
    0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
    0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4400,
};

struct Letters {
  PacketKind kind;
  char first, second;
};
constexpr Letters kLetters[] = {
    {PacketKind::FileSize, 'F', 'S'},  {PacketKind::FileName, 'F', 'N'},  {PacketKind::FileData, 'F', 'D'},
    {PacketKind::EndOfFile, 'E', 'F'}, {PacketKind::AbortFile, 'A', 'F'}, {PacketKind::EndOfTransfer, 'E', 'T'},
};

void putKind(uint8_t* frame, PacketKind kind) {
  for (const Letters& l : kLetters) {
    if (l.kind != kind) continue;
    frame[offset::kind0] = static_cast<uint8_t>(l.first);
    frame[offset::kind1] = static_cast<uint8_t>(l.second);
  }
}

void putCrc(uint8_t* frame, int32_t n) {
  const uint16_t crc = PacketCrc(frame, n);
  frame[offset::crcHigh] = static_cast<uint8_t>(crc >> 8);
  frame[offset::crcLow] = static_cast<uint8_t>(crc & 0xFF);
}

}  // namespace

PacketKind kindOf(const uint8_t* frame) {
  for (const Letters& l : kLetters) {
    if (frame[offset::kind0] == static_cast<uint8_t>(l.first) && frame[offset::kind1] == static_cast<uint8_t>(l.second)) {
      return l.kind;
    }
  }
  return PacketKind::Unknown;
}

uint16_t PacketCrc(const uint8_t* frame, int32_t n) {
  if (n > kMaxChunk) n = kMaxChunk;
  uint16_t r = 0;
  const uint8_t* p = frame + offset::payload;
  for (int32_t i = 0; i < n; ++i) {
    const uint16_t low = kNibbleTable[p[i] & 0x0F];
    // Both steps feed the low nibble: this is the wire format, not a slip.
    r = static_cast<uint16_t>((r >> 4) ^ kNibbleTable[r & 0x0F] ^ low);
    r = static_cast<uint16_t>((r >> 4) ^ kNibbleTable[r & 0x0F] ^ low);
  }
  return r;
}

int32_t payloadLength(const uint8_t* frame) {
  const uint8_t high = frame[offset::lengthHigh];
  const uint8_t low = frame[offset::lengthLow];
  if (high == 0) return low;
  return static_cast<int16_t>(static_cast<uint16_t>(high << 8 | low));
}

bool checkCrc(const uint8_t* frame, int32_t n) {
  if (n < 0 || n > kMaxChunk) return false;
  const uint16_t stored = static_cast<uint16_t>(frame[offset::crcHigh] << 8 | frame[offset::crcLow]);
  return PacketCrc(frame, n) == stored;
}

void buildSize(uint8_t* frame, uint32_t size) {
  putKind(frame, PacketKind::FileSize);
  frame[offset::lengthHigh] = 0;
  frame[offset::lengthLow] = 0;
  uint8_t* p = frame + offset::payload;
  p[0] = static_cast<uint8_t>(size >> 24);
  p[1] = static_cast<uint8_t>(size >> 16);
  p[2] = static_cast<uint8_t>(size >> 8);
  p[3] = static_cast<uint8_t>(size);
  putCrc(frame, 4);
}

void buildName(uint8_t* frame, const char* name, uint8_t length) {
  putKind(frame, PacketKind::FileName);
  frame[offset::lengthHigh] = 0;
  frame[offset::lengthLow] = length;
  std::memcpy(frame + offset::payload, name, length);
  putCrc(frame, length);
}

void buildData(uint8_t* frame, const uint8_t* chunk, int32_t length) {
  if (length < 0) length = 0;
  if (length > kMaxChunk) length = kMaxChunk;
  putKind(frame, PacketKind::FileData);
  frame[offset::lengthHigh] = static_cast<uint8_t>(length >> 8);
  frame[offset::lengthLow] = static_cast<uint8_t>(length);
  std::memcpy(frame + offset::payload, chunk, static_cast<size_t>(length));
  putCrc(frame, length);
}

void buildEndOfFile(uint8_t* frame) { putKind(frame, PacketKind::EndOfFile); }

void buildAbort(uint8_t* frame) { putKind(frame, PacketKind::AbortFile); }

}  // namespace zarvek
