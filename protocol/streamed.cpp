#include "protocol/streamed.h"

#include <cstring>

#include "protocol/big_endian.h"
#include "protocol/packet.h"
#include "protocol/verified.h"

namespace zarvek {
namespace {

constexpr uint8_t kMagic[4] = {'Z', 'V', 'S', 'T'};
constexpr uint8_t kVersion = 3;
constexpr int32_t kRequestTail = 34;  // the request's two copies (protocol/verified.h)

int32_t askAt(const uint8_t* frame) { return offset::payload + frame[offset::lengthLow] + kRequestTail; }

// CRC-16/CCITT seeded with the tag, the index and the round: a packet of
// another attempt, place or round fails it.
uint16_t seededCrc(const uint8_t* bytes, size_t n, uint32_t tag, uint32_t index, uint8_t round = 0) {
  uint8_t seed[9];
  put32(seed, tag);
  put32(seed + 4, index);
  seed[8] = round;
  return crc16Ccitt(bytes, n, crc16Ccitt(seed, sizeof seed));
}

int32_t coveredLength(const uint8_t* frame) {
  switch (kindOf(frame)) {
    case PacketKind::FileData: return verifiedLength(frame);
    case PacketKind::EndOfFile: return 8;
    case PacketKind::AbortFile: return 4;
    default: return -1;
  }
}

void seal(uint8_t* frame, uint32_t tag, uint32_t index, uint8_t round = 0) {
  const uint16_t crc = seededCrc(frame, static_cast<size_t>(offset::payload + coveredLength(frame)), tag, index, round);
  frame[offset::crcHigh] = static_cast<uint8_t>(crc >> 8);
  frame[offset::crcLow] = static_cast<uint8_t>(crc);
}

}  // namespace

void putStreamAsk(uint8_t* frame, uint32_t tag) {
  uint8_t* at = frame + askAt(frame);
  std::memcpy(at, kMagic, 4);
  at[4] = kVersion;
  uint8_t tagBytes[4];
  put32(tagBytes, tag);
  put32(at + 5, crc32(tagBytes, 4, crc32(at, 5)));
}

bool readStreamAsk(const uint8_t* frame, uint32_t tag) {
  const uint8_t* at = frame + askAt(frame);
  uint8_t tagBytes[4];
  put32(tagBytes, tag);
  return std::memcmp(at, kMagic, 4) == 0 && at[4] == kVersion && get32(at + 5) == crc32(tagBytes, 4, crc32(at, 5));
}

void buildStreamedData(uint8_t* frame, const uint8_t* chunk, int32_t length, uint32_t index, uint32_t tag,
                       uint8_t round) {
  buildVerifiedData(frame, chunk, length, index);
  seal(frame, tag, index, round);
}

void buildStreamedEnd(uint8_t* frame, uint32_t fileCrc, uint32_t tag) {
  buildVerifiedEnd(frame, fileCrc, tag);
  seal(frame, tag, kStreamEndIndex);
}

void buildStreamedAbort(uint8_t* frame, uint32_t tag) {
  buildVerifiedAbort(frame, tag);
  seal(frame, tag, kStreamEndIndex);
}

bool checkStreamed(const uint8_t* frame, uint32_t tag, uint32_t index, uint8_t round) {
  const int32_t n = coveredLength(frame);
  if (n < 0 || n > kMaxChunk) return false;
  if ((index == kStreamEndIndex) == (kindOf(frame) == PacketKind::FileData)) return false;
  if (index != kStreamEndIndex && verifiedSequence(frame) != (index & 31)) return false;
  const uint16_t stored = static_cast<uint16_t>(frame[offset::crcHigh] << 8 | frame[offset::crcLow]);
  return seededCrc(frame, static_cast<size_t>(offset::payload + n), tag, index, round) == stored;
}

uint32_t nearestIndex(uint32_t low, uint32_t expected) {
  const int32_t ahead = static_cast<int32_t>((low - expected) & 31);
  return expected + static_cast<uint32_t>(ahead < 16 ? ahead : ahead - 32);
}

void buildStreamFrame(uint8_t* out, const StreamFrame& frame, uint32_t tag) {
  out[0] = static_cast<uint8_t>(frame.kind);
  put32(out + 1, frame.index);
  out[5] = frame.kind == StreamFrameKind::Ack ? frame.credit : frame.round;
  const uint16_t crc = seededCrc(out, 6, tag, 0);
  out[6] = static_cast<uint8_t>(crc >> 8);
  out[7] = static_cast<uint8_t>(crc);
}

std::optional<StreamFrame> readStreamFrame(const uint8_t* bytes, uint32_t tag) {
  const auto kind = static_cast<StreamFrameKind>(bytes[0]);
  if (kind != StreamFrameKind::Ack && kind != StreamFrameKind::Resend && kind != StreamFrameKind::Silence &&
      kind != StreamFrameKind::Matches && kind != StreamFrameKind::Differs && kind != StreamFrameKind::Held &&
      kind != StreamFrameKind::HeldCrc) {
    return std::nullopt;
  }
  if (seededCrc(bytes, 6, tag, 0) != static_cast<uint16_t>(bytes[6] << 8 | bytes[7])) return std::nullopt;
  return StreamFrame{kind, get32(bytes + 1), kind == StreamFrameKind::Ack ? bytes[5] : uint8_t{0},
                     kind == StreamFrameKind::Ack ? uint8_t{0} : bytes[5]};
}

void ByteQueue::add(const uint8_t* bytes, int32_t n) {
  // Consumed bytes are let go once they are half of what is held.
  if (head_ > 0 && head_ * 2 >= bytes_.size()) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  bytes_.insert(bytes_.end(), bytes, bytes + n);
}

void ByteQueue::consume(size_t n) {
  head_ += n;
  if (head_ >= bytes_.size()) clear();
}

std::optional<StreamFrame> FrameScanner::next() {
  while (queue_.size() >= static_cast<size_t>(kStreamFrameSize)) {
    if (const std::optional<StreamFrame> frame = readStreamFrame(queue_.data(), tag_)) {
      queue_.consume(kStreamFrameSize);
      return frame;
    }
    queue_.consume(1);
    ++dropped_;
  }
  return std::nullopt;
}

bool beginsPacket(const uint8_t* bytes) {
  switch (kindOf(bytes)) {
    case PacketKind::FileData:
    case PacketKind::EndOfFile:
    case PacketKind::AbortFile:
    case PacketKind::FileSize:
    case PacketKind::FileName:
      return true;
    default:
      return false;
  }
}

}  // namespace zarvek
