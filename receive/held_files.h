#pragma once
// What the receive folder keeps of verified files that were cut off, so that
// the next send of the same file goes on from there instead of from the
// start. For each such file: its data so far under a staging name
// (".zarvek-KEY.part", never under the file's own name), and a record
// (".zarvek-KEY.resume") of which file it is and how many of its bytes are on
// the disk. The data is flushed before the record says so, and the record is
// replaced in one step, so after a crash or a power loss the record vouches
// only for bytes that were flushed; the sender checks them all again anyway
// (their CRC-32 against its own), and the whole-file CRC-32 decides.
//
// Bounds: at most kMaxHeldFiles records (the oldest go first) and none older
// than kHeldFor; part files without a record are deleted when a receive job
// starts and whenever a new record is made.
#include <chrono>
#include <cstdint>
#include <string>

#include "base/result.h"

namespace zarvek {

inline constexpr int32_t kMaxHeldFiles = 4;
inline constexpr std::chrono::hours kHeldFor{24 * 7};

// Which file: where it goes, its size and its modification time. A file
// changed at the sender since is another file.
struct HeldFile {
  std::string path;  // the relative path as it came over the line
  uint32_t size = 0;
  int64_t modified = 0;
};

class HeldFiles {
 public:
  explicit HeldFiles(std::string folder) : folder_(std::move(folder)) {}

  std::string partPath(const HeldFile& file) const;
  // How many bytes of the file the folder holds, from the start: its record
  // is whole and names this very file, and its part file is there. 0: none.
  uint32_t held(const HeldFile& file) const;
  // The first `bytes` of the part file are flushed: the record says so.
  Result record(const HeldFile& file, uint32_t bytes) const;
  // The record goes (the file is complete, or not to be taken up); the part
  // file too unless `keepPart` (it is under the file's name now).
  void forget(const HeldFile& file, bool keepPart = false) const;
  // Applies the bounds; `open` is a part file in use, kept whatever its state.
  void sweep(const std::string& open = {}) const;

 private:
  std::string recordPath(const HeldFile& file) const;
  std::string folder_;
};

}  // namespace zarvek
