#pragma once
// The wire format: every packet is a 1030-byte frame, whatever its kind.
//
//   0..1     kind letters ("FS", "FN", "FD", "EF", "AF", "ET")
//   2..3     length field, big-endian (meaning depends on the kind)
//   4..1027  payload
//   1028..29 PacketCrc over the covered payload bytes, big-endian
//
// The sender fills only the bytes its kind lists, in one reused buffer, so the
// unused bytes (and all of "EF"/"AF" after the letters) repeat the previous packet.
#include <cstdint>

namespace zarvek {

inline constexpr int32_t kPacketSize = 1030;
inline constexpr int32_t kMaxChunk = 1024;

namespace offset {
inline constexpr int32_t kind0 = 0;
inline constexpr int32_t kind1 = 1;
inline constexpr int32_t lengthHigh = 2;
inline constexpr int32_t lengthLow = 3;
inline constexpr int32_t payload = 4;
inline constexpr int32_t crcHigh = 1028;
inline constexpr int32_t crcLow = 1029;
}  // namespace offset

// Result codes of the engines' packet operations. The values are fixed; they
// never travel on the line.
enum class PacketResult : int32_t {
  Failed = 0,
  FileEnded = 4,
  TransferEnded = 5,
  Accepted = 7,
  CrcFailed = 8,
};

// The receiver's one-byte replies. The sender compares with kReplyRefuse only.
inline constexpr uint8_t kReplyAccept = 'A';
inline constexpr uint8_t kReplyRefuse = 'N';

// Packet kinds, named by their two letters: "FS" size, "FN" name, "FD" data,
// "EF" end of file, "AF" abort file, "ET" end of transfer (recognised, never sent).
enum class PacketKind { FileSize, FileName, FileData, EndOfFile, AbortFile, EndOfTransfer, Unknown };

// The kind a frame's two letters name (exact upper case); Unknown for any other pair.
PacketKind kindOf(const uint8_t* frame);

// The system's own checksum over n payload bytes from offset 4. Built on the
// CRC-16/ARC nibble table but feeding the low nibble of each byte twice, so the
// high nibble of a payload byte never counts. 0 for n <= 0. n above kMaxChunk is
// cut to kMaxChunk: the checksum never reads outside the frame.
uint16_t PacketCrc(const uint8_t* frame, int32_t n);

// Receiving side: the length field. Offset 2 == 0: offset 3 alone (0..255);
// otherwise both bytes as a signed 16-bit value (0x8000 and up read negative).
int32_t payloadLength(const uint8_t* frame);

// Receiving side: does the frame's stored checksum match PacketCrc over n bytes?
// A count outside 0..kMaxChunk cannot describe a real payload: it fails the check,
// so such a frame is answered "N" and none of it is used.
bool checkCrc(const uint8_t* frame, int32_t n);

// Sending side: fill one kind into the reused frame, touching only its bytes.
void buildSize(uint8_t* frame, uint32_t size);
void buildName(uint8_t* frame, const char* name, uint8_t length);
void buildData(uint8_t* frame, const uint8_t* chunk, int32_t length);
void buildEndOfFile(uint8_t* frame);
void buildAbort(uint8_t* frame);

}  // namespace zarvek
