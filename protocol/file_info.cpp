#include "protocol/file_info.h"

#include <cstring>

#include "protocol/big_endian.h"
#include "protocol/packet.h"
#include "protocol/verified.h"

namespace zarvek {
namespace {

constexpr uint8_t kMagic[4] = {'Z', 'V', 'I', 'N'};
constexpr uint8_t kVersion = 3;
constexpr int32_t kTailBefore = 34 + 9;  // the request's two copies and the streaming block
constexpr int32_t kCopyFixed = 20;       // magic, version, flags, time, path length, CRC-32
constexpr int32_t kLengthAt = 14;
constexpr uint8_t kFolder = 1, kFresh = 2;

int32_t firstCopyAt(const uint8_t* frame) { return offset::payload + frame[offset::lengthLow] + kTailBefore; }

uint32_t sealOf(const uint8_t* copy, int32_t pathLength, uint32_t tag) {
  uint8_t tagBytes[4];
  put32(tagBytes, tag);
  return crc32(tagBytes, 4, crc32(copy, static_cast<size_t>(kCopyFixed - 4 + pathLength)));
}

std::optional<FileInfo> readCopy(const uint8_t* frame, int32_t at, uint32_t tag) {
  const uint8_t* c = frame + at;
  if (std::memcmp(c, kMagic, 4) != 0 || c[4] != kVersion) return std::nullopt;
  const int32_t n = c[kLengthAt] << 8 | c[kLengthAt + 1];
  if (n < 1 || n > kMaxWirePath || at + kCopyFixed + n > offset::crcHigh) return std::nullopt;
  if (get32(c + kCopyFixed - 4 + n) != sealOf(c, n, tag)) return std::nullopt;
  FileInfo info;
  info.folder = (c[5] & kFolder) != 0;
  info.fresh = (c[5] & kFresh) != 0;
  info.modified = static_cast<int64_t>(uint64_t{get32(c + 6)} << 32 | get32(c + 10));
  info.path.assign(reinterpret_cast<const char*>(c + kCopyFixed - 4), static_cast<size_t>(n));
  return info;
}

}  // namespace

bool putFileInfo(uint8_t* frame, const FileInfo& info, uint32_t tag) {
  const auto n = static_cast<int32_t>(info.path.size());
  const int32_t first = firstCopyAt(frame), second = offset::crcHigh - kCopyFixed - n;
  if (n < 1 || n > kMaxWirePath || first + kCopyFixed + n > second) return false;
  uint8_t copy[kCopyFixed + kMaxWirePath];
  std::memcpy(copy, kMagic, 4);
  copy[4] = kVersion;
  copy[5] = static_cast<uint8_t>((info.folder ? kFolder : 0) | (info.fresh ? kFresh : 0));
  const auto time = static_cast<uint64_t>(info.modified);
  put32(copy + 6, static_cast<uint32_t>(time >> 32));
  put32(copy + 10, static_cast<uint32_t>(time));
  copy[kLengthAt] = static_cast<uint8_t>(n >> 8);
  copy[kLengthAt + 1] = static_cast<uint8_t>(n);
  std::memcpy(copy + kCopyFixed - 4, info.path.data(), static_cast<size_t>(n));
  put32(copy + kCopyFixed - 4 + n, sealOf(copy, n, tag));
  std::memcpy(frame + first, copy, static_cast<size_t>(kCopyFixed + n));
  std::memcpy(frame + second, copy, static_cast<size_t>(kCopyFixed + n));
  return true;
}

std::optional<FileInfo> readFileInfo(const uint8_t* frame, uint32_t tag) {
  const int32_t first = firstCopyAt(frame);
  if (std::optional<FileInfo> info = readCopy(frame, first, tag)) return info;
  // The second copy ends where the payload ends; its length is not known
  // when the first copy is damaged, so each one that fits is tried.
  for (int32_t n = 1; n <= kMaxWirePath; ++n) {
    const int32_t at = offset::crcHigh - kCopyFixed - n;
    if (at < first + kCopyFixed + n) break;
    const uint8_t* c = frame + at;
    if ((c[kLengthAt] << 8 | c[kLengthAt + 1]) != n) continue;
    if (std::optional<FileInfo> info = readCopy(frame, at, tag)) return info;
  }
  return std::nullopt;
}

}  // namespace zarvek
