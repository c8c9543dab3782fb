#pragma once
// Streamed files: between two Zarvek ends that both take it, a verified file's
// data goes without waiting for each packet's answer. docs/PROTOCOL.md has the
// bytes, the window and every recovery rule.
//
// The sender asks for it in a block of the "FN" tail after the request's two
// copies; a receiver that takes it answers kReplyStream instead of
// kReplyVerify. The sender then keeps up to a window of packets on the line.
// Each streamed packet is a verified one whose CRC-16 is seeded with the
// attempt's tag, the chunk's full index and the round (how often the sender has
// gone back in this attempt), so it names its file, its place and its round
// whatever its 5-bit index says, and the receiver can find packets again in a
// stream cut by a lost or an added byte. The receiver answers with 8-byte
// frames (an acknowledgement, a request to send again from a chunk, the
// verdict), each with a CRC-16 seeded with the tag.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace zarvek {

// The answer to a request that asked for streaming and is taken so. One byte
// at least two bits away from every other answer and four from "A", "N", "V":
// no single damaged bit makes a file streamed that its receiver took otherwise.
inline constexpr uint8_t kReplyStream = 0x78;

// The streaming block in an "FN" tail, after the request (protocol/verified.h).
void putStreamAsk(uint8_t* frame, uint32_t tag);
bool readStreamAsk(const uint8_t* frame, uint32_t tag);

inline constexpr int32_t kStreamPacketSize = 1030;  // as every packet

// The index that seeds a streamed "EF" or "AF" checksum.
inline constexpr uint32_t kStreamEndIndex = 0xFFFFFFFF;

void buildStreamedData(uint8_t* frame, const uint8_t* chunk, int32_t length, uint32_t index, uint32_t tag,
                       uint8_t round);
void buildStreamedEnd(uint8_t* frame, uint32_t fileCrc, uint32_t tag);
void buildStreamedAbort(uint8_t* frame, uint32_t tag);
// Whether a frame is whole as the streamed packet `index` (kStreamEndIndex for
// an end or an abort, whose round is 0) of the attempt `tag` in `round`.
bool checkStreamed(const uint8_t* frame, uint32_t tag, uint32_t index, uint8_t round = 0);
// How many rounds past the last it saw a receiver looks for: one more than the
// highest retry limit, as the sender gives a file up after that many rounds
// without a chunk acknowledged.
inline constexpr int32_t kRoundsAhead = 21;
// The full index of a streamed "FD" whose 5-bit index is `low`, nearest to
// `expected` (a window is never more than 16 packets wide, so it is exact).
uint32_t nearestIndex(uint32_t low, uint32_t expected);

// The receiver's frames in a streamed file.
inline constexpr int32_t kStreamFrameSize = 8;
enum class StreamFrameKind : uint8_t {
  Ack = 'K',       // every chunk before `index` is written; `credit` more may come
  Resend = 'R',    // in `round` a chunk went missing or arrived damaged: send again from `index`
  Silence = 'Q',   // the line fell quiet with chunk `index` missing, in whatever round: send again from it
  Matches = 'M',   // the file matches its end: it is under its name now
  Differs = 'D',   // it does not (or this end has no such file): nothing kept
  // After a request with a file's block (protocol/file_info.h), in any
  // verified file: how much of it this end holds from an earlier attempt.
  Held = 'H',      // `index` chunks (0: none; it starts from the first)
  HeldCrc = 'C',   // `index` is the CRC-32 of the bytes those chunks hold, as they are on disk
};
struct StreamFrame {
  StreamFrameKind kind;
  uint32_t index;
  uint8_t credit;  // an Ack's
  uint8_t round;   // a Resend's
};
void buildStreamFrame(uint8_t* out, const StreamFrame& frame, uint32_t tag);
// The frame at `bytes` (kStreamFrameSize of them), if it is whole for `tag`.
std::optional<StreamFrame> readStreamFrame(const uint8_t* bytes, uint32_t tag);

}  // namespace zarvek

namespace zarvek {

// Bytes as they come off the line, with what lies between whole frames or
// packets dropped: a lost or an added byte costs the frame or packet it hit,
// never the ones after it.
class ByteQueue {
 public:
  void add(const uint8_t* bytes, int32_t n);
  const uint8_t* data() const { return bytes_.data() + head_; }
  size_t size() const { return bytes_.size() - head_; }
  void consume(size_t n);
  void clear() { bytes_.clear(), head_ = 0; }

 private:
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
};

// The sender's side: frames of the receiver for one attempt.
class FrameScanner {
 public:
  explicit FrameScanner(uint32_t tag) : tag_(tag) {}
  void add(const uint8_t* bytes, int32_t n) { queue_.add(bytes, n); }
  std::optional<StreamFrame> next();
  int64_t dropped() const { return dropped_; }  // bytes that were no whole frame

 private:
  uint32_t tag_;
  ByteQueue queue_;
  int64_t dropped_ = 0;
};

// The receiver's side: the next whole packet, as `whole` judges a 1030-byte
// candidate that begins with a kind's letters.
class PacketScanner {
 public:
  void add(const uint8_t* bytes, int32_t n) { queue_.add(bytes, n); }
  template <typename Whole>
  bool next(uint8_t* packet, Whole whole);
  size_t buffered() const { return queue_.size(); }
  // Drops what is buffered: the tail of a packet that will never be whole.
  void dropAll() { dropped_ += static_cast<int64_t>(queue_.size()), queue_.clear(); }
  int64_t dropped() const { return dropped_; }

 private:
  ByteQueue queue_;
  int64_t dropped_ = 0;
};

bool beginsPacket(const uint8_t* bytes);  // a kind a streamed file can hold: FD, EF, AF, FS, FN

template <typename Whole>
bool PacketScanner::next(uint8_t* packet, Whole whole) {
  while (queue_.size() >= 2) {
    if (beginsPacket(queue_.data())) {
      if (queue_.size() < static_cast<size_t>(kStreamPacketSize)) return false;  // the rest is coming
      if (whole(queue_.data())) {
        std::memcpy(packet, queue_.data(), kStreamPacketSize);
        queue_.consume(kStreamPacketSize);
        return true;
      }
    }
    queue_.consume(1);
    ++dropped_;
  }
  return false;
}

}  // namespace zarvek
