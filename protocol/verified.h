#pragma once
// Verified transfers: what two Zarvek ends add to the classic packets when they
// both know it, and nothing a classic end can see. docs/PROTOCOL.md has the
// layout byte for byte, the rules of each end and test vectors.
//
// The sender offers the mode in the tail of every "FS" (offsets 8..33, past the
// 4 bytes a classic receiver reads) and asks for it again in the tail of "FN"
// (past the name), where it also gives the file's size and a tag that names
// this attempt at the file. A Zarvek receiver answers either with kReplyVerify;
// a classic one answers "A" and never sees the tails. The file is verified once
// the sender has heard kReplyVerify to either packet: from then on every packet
// is checked over all its bytes with CRC-16/CCITT, data packets carry their
// index, "EF" carries the CRC-32 of the whole file and the tag, and every answer
// is one of sixteen code bytes that say what they answer.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace zarvek {

// The answer to an offer or a request: the receiver is a Zarvek end that takes
// the mode. A classic sender counts it as "A".
inline constexpr uint8_t kReplyVerify = 'V';

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF): "123456789" gives 0x29B1.
uint16_t crc16Ccitt(const uint8_t* bytes, size_t n, uint16_t crc = 0xFFFF);
// CRC-32 (IEEE, reflected 0xEDB88320, init and final xor 0xFFFFFFFF): "123456789"
// gives 0xCBF43926. `crc` carries a running value from an earlier call.
uint32_t crc32(const uint8_t* bytes, size_t n, uint32_t crc = 0);

// The offer in an "FS" frame's tail: two copies, each with its own check, so
// that one damaged copy does not hide the offer.
void putOffer(uint8_t* frame, uint32_t size);
enum class Offer { None, Valid, Damaged };
// Valid: a copy is whole and its size is the frame's. Damaged: a whole copy
// disagrees with the frame's size field, which the classic checksum does not
// fully cover. None: no whole copy (a classic sender's stale bytes).
Offer readOffer(const uint8_t* frame);

// The request in an "FN" frame's tail, after the name: two copies, each also
// checking the name, which the classic checksum covers only in part. The size
// is the file's, whatever became of the "FS"; the tag names this attempt.
void putRequest(uint8_t* frame, uint32_t size, uint32_t tag);
struct Request {
  uint32_t size;
  uint32_t tag;
};
std::optional<Request> readRequest(const uint8_t* frame);

// A verified "FD": the length field holds the chunk length in its low 11 bits
// and the chunk's index (mod 32) in its high 5; the checksum field holds
// CRC-16/CCITT over the kind letters, the length field and the chunk.
void buildVerifiedData(uint8_t* frame, const uint8_t* chunk, int32_t length, uint32_t index);
// A verified "EF" (the file's CRC-32 and the tag) or "AF" (the tag).
void buildVerifiedEnd(uint8_t* frame, uint32_t fileCrc, uint32_t tag);
void buildVerifiedAbort(uint8_t* frame, uint32_t tag);

// Whether a frame is whole as a verified packet: its checksum over the kind
// letters, the length field and the payload the length field gives.
bool checkVerified(const uint8_t* frame);
int32_t verifiedLength(const uint8_t* frame);  // the payload's length: 0..2047
uint32_t verifiedSequence(const uint8_t* frame);
uint32_t verifiedFileCrc(const uint8_t* frame);  // of a verified "EF"
uint32_t verifiedTag(const uint8_t* frame);      // of a verified "EF" or "AF"

// The answers inside a verified file. Each carries the low two bits of what it
// answers (a chunk's index, a file's tag), so an answer that comes late or twice
// is never taken for the answer to a later packet, and the sixteen code bytes
// differ pairwise in at least four bits, so a damaged one is never another.
enum class Answer : uint8_t {
  Taken = 0,    // the chunk is written (or was already)
  Refused = 1,  // the packet arrived damaged: send it again
  Matches = 2,  // the file written matches the "EF": kept under its name
  Differs = 3,  // it does not (or this end has no such file): deleted
};
uint8_t encodeAnswer(Answer answer, uint32_t id);
struct CodedAnswer {
  Answer answer;
  uint32_t id;  // 0..3
};
std::optional<CodedAnswer> decodeAnswer(uint8_t byte);

}  // namespace zarvek
