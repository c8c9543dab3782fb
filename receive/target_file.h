#pragma once
// The one file being received: created in the receive folder at the announced
// size (zero-filled, space reserved), mapped read/write and filled in place, held
// exclusively while open. A sender can be hostile: nothing is ever written
// outside the fixed fields, the view or the receive folder.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/mapped_file.h"
#include "base/result.h"
#include "job/file_report.h"

namespace zarvek {

inline constexpr int32_t kNameSize = 100;  // 99 characters and the NUL
inline constexpr int32_t kPathSize = 256;  // 255 characters and the NUL

class TargetFile {
 public:
  TargetFile() = default;
  ~TargetFile() = default;  // the file closes with file_
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  // Copies the receive folder into path. False if it does not fit (receiveFolderFits).
  bool setFolder(const char* folder);

  // Bytes 4..7 of the packet, big-endian, into size; returns it (0 is a failed step).
  uint32_t storeSize(const uint8_t* packet);
  // A size known better than the size packet's (a verified file's own word).
  void setSize(uint32_t size) { size_ = size; }

  // Copies packet byte 3 (the name length; byte 2 is ignored) name bytes from
  // byte 4 into name. False when the name does not fit or is unsafe
  // (refuseReceivedName); refusal() says why.
  bool takeName(const uint8_t* packet);

  // A verified file's place under the receive folder: a relative path as it
  // came over the line (UTF-8, '/' between folders), each part checked as a
  // name is (refuseReceivedPath). False with refusal() saying why; the file's
  // name is then the path as it came, for the report.
  bool takePath(const std::string& wirePath);
  // The time to give the file once it is under its name (seconds since 1970 UTC).
  void setModified(int64_t seconds) { modified_ = seconds; }

  // The receiver cannot use the file after all (the name could not be shown,
  // the file could not be put under its name): refusal() and failure() say why.
  void refuseName(FileProblem why, const Result& failure = {});

  // folder + separator (unless the folder ends with one) + name. An empty
  // folder gives the name alone: the current directory, which is where the
  // receive folder is left empty (the start-up directory did not fit). Empty if
  // the result would not fit 255 characters.
  static std::string joinPath(const char* folder, const char* name);

  // Joins the folder and the name into path, creates (or truncates) the file,
  // reserves and zero-fills `size` bytes, maps them read/write. Succeeds only if
  // the file, the reservation, the mapping and the view were all made; a size
  // of 0 makes an empty file, open with nothing to map. Refused, with no
  // system error code, without a folder from setFolder or a name that the last
  // takeName accepted. A file left open by an earlier name is closed first and
  // stays on disk. refusal() says why it failed.
  Result openForWrite();
  // The same, for a verified file: made under a staging name in the receive
  // folder (".zarvek-TAG.part", TAG the attempt's tag in hex) and put under its
  // own name by publish() only once verified. So the name never holds a copy
  // that did not match, and a copy that was verified is never truncated by a
  // later attempt at the same file: discard() deletes the staged file only.
  Result openStaged(uint32_t tag);
  // The same under a staging name chosen by the caller (a file kept to be
  // taken up: HeldFiles). With `held` > 0 the file there is opened as it is
  // (its first `held` bytes are what arrived before); otherwise it is made anew.
  Result openStagedAt(const std::string& staged, uint32_t held);
  // Closes the staged file and puts it under its name, replacing a file there;
  // the folders of its path are made first, and its time set after.
  Result publish();
  // A folder entry: the path's folders made, the last one given the time.
  Result makeFolder();
  // What is written before `upTo` is on the disk.
  Result flush(uint32_t upTo);
  // Closes a staged file and leaves it where it is, to be taken up later.
  void keepStaged();

  // Copies `length` bytes from packet byte 4 into the view at `offset`.
  // Refused (false) without a view, for a length outside 0..1024, or when the chunk
  // would end past the mapped view (size as it was when the file was mapped).
  bool writeChunk(const uint8_t* packet, int32_t length, int64_t offset);

  // Unmaps the view, closes the mapping and the file; nothing that was not made.
  void close();

  // Everything before `offset` is written: its pages may leave this process's
  // memory (they stay in the file), so that a large file costs no more
  // resident memory than a small one.
  void releaseBefore(uint64_t offset);

  // Closes, then deletes the file at path. True if it was deleted. Only a file
  // this object created is deleted: before a name step path is the folder, and
  // after a failed create the file at path belongs to someone else.
  bool discard();

  uint32_t size() const { return size_; }
  const char* name() const { return wirePath_.empty() ? name_ : wirePath_.c_str(); }
  const uint8_t* view() const { return file_.data(); }
  bool timeKept() const { return timeKept_; }
  bool timeNotHeld() const { return timeNotHeld_; }
  const char* path() const { return path_; }
  bool isMapped() const { return file_.isMapped(); }
  bool hasFile() const { return file_.isOpen(); }
  bool isStaged() const { return !staged_.empty(); }
  // Why the last takeName or openForWrite failed, None if it did not; and the
  // system call that failed, when one did.
  FileProblem refusal() const { return refusal_; }
  const Result& failure() const { return failure_; }

 private:
  // First step of openForWrite: closes a file left open by an earlier name,
  // checks the name again and joins folder and name into path.
  bool preparePath();
  void applyTime();  // the time from setModified, on the file under its name

  MappedFile file_;
  // The size announced; it can change after the file is mapped (a second size
  // packet), so chunks are bounded by what is really mapped, file_.size().
  uint32_t size_ = 0;
  char name_[kNameSize] = {};
  char path_[kPathSize] = {};
  std::string folder_;   // kept apart from path, so a second name joins the folder again
  bool hasFolder_ = false;  // setFolder accepted a folder
  bool nameTaken_ = false;  // the last takeName accepted the name
  bool named_ = false;      // path holds the file's full path, not the folder
  bool created_ = false;    // this object created (or truncated) the file it holds
  std::string staged_;      // where a verified file is written until publish()
  std::string wirePath_;    // a verified file's relative path as it came
  std::vector<std::string> parts_;  // and its parts, as this system names files
  std::optional<int64_t> modified_;
  bool timeKept_ = false;
  bool timeNotHeld_ = false;
  FileProblem refusal_ = FileProblem::None;
  Result failure_;
};

// Why a received name may not be used as a file name in the receive folder, or
// None if it may: empty, only dots and spaces ("." and ".." among them), a
// path separator ('\' or '/'), a colon (drive or stream), a control character,
// or a name that opens a device on this platform (isReservedDeviceName).
FileProblem refuseReceivedName(const char* name);

// Why a received relative path (UTF-8, '/' between folders) may not be used
// under the receive folder, or None if it may; `parts` gets its parts as this
// system names files. Refused: empty, absolute ('/' or '\' first), a drive
// ("c:"), an empty part ("a//b", a trailing '/'), "." or "..", any part that
// refuseReceivedName refuses or this file system does not hold as given, text
// that is not UTF-8 or that this system cannot name files with, more than
// kMaxPathParts parts.
inline constexpr size_t kMaxPathParts = 32;
FileProblem refuseReceivedPath(const std::string& wirePath, std::vector<std::string>& parts);

}  // namespace zarvek
