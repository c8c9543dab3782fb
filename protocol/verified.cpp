#include "protocol/verified.h"

#include <array>
#include <cstring>

#include "protocol/big_endian.h"
#include "protocol/packet.h"

namespace zarvek {
namespace {

constexpr uint8_t kMagic[4] = {'Z', 'V', 'F', 'Y'};
constexpr uint8_t kVersion = 2;
constexpr int32_t kOfferAt = 8;  // past the size a classic receiver reads
constexpr int32_t kOfferCopy = 13;    // magic, version, size, CRC-32
constexpr int32_t kRequestCopy = 17;  // magic, version, size, tag, CRC-32

// The answer bytes, by (answer << 2 | id): an extended Hamming (8,4) code xor
// 0xF9, so that none of them is "A", "N", "V", 0x00 or 0xFF, nor one bit away
// from any of these.
constexpr uint8_t kAnswerCodes[16] = {0xF9, 0xE7, 0xDE, 0xC0, 0xB2, 0xAC, 0x95, 0x8B,
                                      0x74, 0x6A, 0x53, 0x4D, 0x3F, 0x21, 0x18, 0x06};

constexpr std::array<uint32_t, 256> makeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr auto kCrc32Table = makeCrc32Table();

constexpr std::array<uint16_t, 256> makeCrc16Table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
    table[i] = c;
  }
  return table;
}
constexpr auto kCrc16Table = makeCrc16Table();

// One copy: magic, version, `fields`, then CRC-32 over all of them and over
// `also` (bytes of the frame the copy vouches for: an "FN"'s name).
void putCopy(uint8_t* at, const uint8_t* fields, int32_t n, const uint8_t* also = nullptr, size_t alsoLength = 0) {
  std::memcpy(at, kMagic, 4);
  at[4] = kVersion;
  std::memcpy(at + 5, fields, static_cast<size_t>(n));
  put32(at + 5 + n, crc32(also, alsoLength, crc32(at, static_cast<size_t>(5 + n))));
}

bool copyIsWhole(const uint8_t* at, int32_t n, const uint8_t* also = nullptr, size_t alsoLength = 0) {
  return std::memcmp(at, kMagic, 4) == 0 && at[4] == kVersion &&
         get32(at + 5 + n) == crc32(also, alsoLength, crc32(at, static_cast<size_t>(5 + n)));
}

void putChecksum(uint8_t* frame, int32_t payload) {
  const uint16_t crc = crc16Ccitt(frame, static_cast<size_t>(offset::payload + payload));
  frame[offset::crcHigh] = static_cast<uint8_t>(crc >> 8);
  frame[offset::crcLow] = static_cast<uint8_t>(crc);
}

void putLength(uint8_t* frame, uint16_t field) {
  frame[offset::lengthHigh] = static_cast<uint8_t>(field >> 8);
  frame[offset::lengthLow] = static_cast<uint8_t>(field);
}

uint16_t lengthField(const uint8_t* frame) {
  return static_cast<uint16_t>(frame[offset::lengthHigh] << 8 | frame[offset::lengthLow]);
}

}  // namespace

uint16_t crc16Ccitt(const uint8_t* bytes, size_t n, uint16_t crc) {
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>(crc << 8 ^ kCrc16Table[(crc >> 8 ^ bytes[i]) & 0xFF]);
  return crc;
}

uint32_t crc32(const uint8_t* bytes, size_t n, uint32_t crc) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = kCrc32Table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void putOffer(uint8_t* frame, uint32_t size) {
  uint8_t fields[4];
  put32(fields, size);
  for (int k = 0; k < 2; ++k) putCopy(frame + kOfferAt + k * kOfferCopy, fields, 4);
}

Offer readOffer(const uint8_t* frame) {
  for (int k = 0; k < 2; ++k) {
    const uint8_t* copy = frame + kOfferAt + k * kOfferCopy;
    if (!copyIsWhole(copy, 4)) continue;
    return get32(copy + 5) == get32(frame + offset::payload) ? Offer::Valid : Offer::Damaged;
  }
  return Offer::None;
}

void putRequest(uint8_t* frame, uint32_t size, uint32_t tag) {
  uint8_t fields[8];
  put32(fields, size);
  put32(fields + 4, tag);
  const int32_t length = frame[offset::lengthLow];
  const uint8_t* name = frame + offset::payload;
  for (int k = 0; k < 2; ++k) putCopy(frame + offset::payload + length + k * kRequestCopy, fields, 8, name, length);
}

std::optional<Request> readRequest(const uint8_t* frame) {
  const int32_t length = frame[offset::lengthLow];
  const uint8_t* name = frame + offset::payload;
  for (int k = 0; k < 2; ++k) {
    const uint8_t* copy = frame + offset::payload + length + k * kRequestCopy;
    if (copyIsWhole(copy, 8, name, length)) return Request{get32(copy + 5), get32(copy + 9)};
  }
  return std::nullopt;
}

void buildVerifiedData(uint8_t* frame, const uint8_t* chunk, int32_t length, uint32_t index) {
  buildData(frame, chunk, length);
  putLength(frame, static_cast<uint16_t>((index & 31) << 11 | static_cast<uint32_t>(length)));
  putChecksum(frame, length);
}

void buildVerifiedEnd(uint8_t* frame, uint32_t fileCrc, uint32_t tag) {
  buildEndOfFile(frame);
  putLength(frame, 8);
  put32(frame + offset::payload, fileCrc);
  put32(frame + offset::payload + 4, tag);
  putChecksum(frame, 8);
}

void buildVerifiedAbort(uint8_t* frame, uint32_t tag) {
  buildAbort(frame);
  putLength(frame, 4);
  put32(frame + offset::payload, tag);
  putChecksum(frame, 4);
}

int32_t verifiedLength(const uint8_t* frame) { return lengthField(frame) & 0x7FF; }

uint32_t verifiedSequence(const uint8_t* frame) { return lengthField(frame) >> 11; }

uint32_t verifiedFileCrc(const uint8_t* frame) { return get32(frame + offset::payload); }

uint32_t verifiedTag(const uint8_t* frame) {
  return get32(frame + offset::payload + (kindOf(frame) == PacketKind::EndOfFile ? 4 : 0));
}

bool checkVerified(const uint8_t* frame) {
  const int32_t n = verifiedLength(frame);
  if (n > kMaxChunk) return false;
  const uint16_t stored = static_cast<uint16_t>(frame[offset::crcHigh] << 8 | frame[offset::crcLow]);
  return crc16Ccitt(frame, static_cast<size_t>(offset::payload + n)) == stored;
}

uint8_t encodeAnswer(Answer answer, uint32_t id) {
  return kAnswerCodes[static_cast<uint32_t>(answer) << 2 | (id & 3)];
}

std::optional<CodedAnswer> decodeAnswer(uint8_t byte) {
  for (uint32_t d = 0; d < 16; ++d) {
    if (kAnswerCodes[d] == byte) return CodedAnswer{static_cast<Answer>(d >> 2), d & 3};
  }
  return std::nullopt;
}

}  // namespace zarvek
