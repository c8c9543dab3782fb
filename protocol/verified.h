#pragma once
// Verified transfers: what two Zarvek ends add to the classic packets when they
// both know it, and nothing a classic end can see. docs/PROTOCOL.md has the
// layout byte for byte.
//
// The sender offers the mode in the tail of every "FS" (offsets 8..33, past the
// 4 bytes a classic receiver reads), and states the mode it will use in the tail
// of "FN" (past the name). A Zarvek receiver answers an offer with kReplyVerify;
// a classic one answers "A", which leaves the file classic. In a verified file
// every later packet is checked over all its bytes with CRC-16/CCITT, data
// packets carry a sequence number, and "EF" carries the CRC-32 of the whole
// file and is answered with whether the file written matches it.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace zarvek {

// Replies only a Zarvek end sends. A classic sender counts every byte but "N"
// as "A", and a classic receiver never sees an offer.
inline constexpr uint8_t kReplyVerify = 'V';        // an offer taken; a file that matches
inline constexpr uint8_t kReplyMismatch = 0xA9;     // the file written does not match (all bits apart from 'V')

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF): "123456789" gives 0x29B1.
uint16_t crc16Ccitt(const uint8_t* bytes, size_t n, uint16_t crc = 0xFFFF);
// CRC-32 (IEEE, reflected 0xEDB88320, init and final xor 0xFFFFFFFF): "123456789"
// gives 0xCBF43926. `crc` carries a running value from an earlier call.
uint32_t crc32(const uint8_t* bytes, size_t n, uint32_t crc = 0);

// The offer in an "FS" frame's tail: two copies, each with its own check, so
// that one damaged copy does not turn a Zarvek sender into a classic one.
void putOffer(uint8_t* frame, uint32_t size);
enum class Offer { None, Valid, Damaged };
// Valid: a copy is whole and its size is the frame's. Damaged: a whole copy
// disagrees with the frame's size field, which the classic checksum does not
// fully cover. None: no whole copy (a classic sender's stale bytes).
Offer readOffer(const uint8_t* frame);

// The mode in an "FN" frame's tail, after the name (two copies as above, each
// also checking the name, which the classic checksum covers only in part).
void putMode(uint8_t* frame, bool verified, uint32_t size);
struct Mode {
  bool verified;
  uint32_t size;
};
std::optional<Mode> readMode(const uint8_t* frame);

// A verified "FD": the length field holds the chunk length in its low 11 bits
// and a sequence number (the chunk's index, mod 32) in its high 5; the checksum
// field holds CRC-16/CCITT over the kind letters, the length field and the chunk.
void buildVerifiedData(uint8_t* frame, const uint8_t* chunk, int32_t length, uint32_t index);
// A verified "EF" (its payload the file's CRC-32) or "AF" (no payload).
void buildVerifiedEnd(uint8_t* frame, uint32_t fileCrc);
void buildVerifiedAbort(uint8_t* frame);

// Whether a frame is whole as a verified packet: its checksum over the kind
// letters, the length field and the payload the length field gives.
bool checkVerified(const uint8_t* frame);
int32_t verifiedLength(const uint8_t* frame);  // the payload's length: 0..1024
uint32_t verifiedSequence(const uint8_t* frame);
uint32_t verifiedFileCrc(const uint8_t* frame);  // of a verified "EF"

}  // namespace zarvek
