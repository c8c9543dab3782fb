#pragma once
// One file being sent, mapped read-only as a whole: the sender copies each chunk
// straight out of the view. Writers are kept out while it is open where the
// system allows (Windows share mode); on Linux the size is taken once, at open.
#include <cstdint>
#include <string>

#include "base/mapped_file.h"
#include "base/result.h"
#include "job/file_report.h"

namespace zarvek {

// The longest name the receiving side holds; longer names are refused before
// anything of the file is sent, never cut.
inline constexpr int32_t kMaxSentName = 99;

class SourceFile {
 public:
  // Keeps the path (of any length), opens the file and maps all of it. An empty
  // file opens with nothing to map, its size 0.
  Result open(const std::string& path);
  // A folder sent as an entry of its own: no data, only its name and time.
  void openFolder(const std::string& path);

  // Why this file cannot be sent, or None if it can: not opened (opened()
  // says how), 4 GiB or more (the size field has 32 bits), not mapped, or a
  // name the receiving side cannot hold. Decided before anything goes out.
  FileProblem problem() const;
  const Result& opened() const { return opened_; }

  // Nothing before `offset` will be read again.
  void releaseBefore(uint64_t offset) { file_.releaseBefore(offset); }

  uint32_t size() const { return file_.size(); }
  const uint8_t* view() const { return file_.data(); }
  const std::string& path() const { return path_; }
  bool isFolder() const { return folder_; }
  // Its modification time, read as it was opened (0 if it could not be read).
  int64_t modified() const { return modified_; }
  // The name that travels: the part of the path after its last separator.
  std::string name() const;

 private:
  std::string path_;
  MappedFile file_;
  Result opened_;
  bool folder_ = false;
  int64_t modified_ = 0;
};

// The same checks as SourceFile::problem on a file not yet open, in words: for
// a front end that checks every file before it sends any. Empty if it can go.
std::string whyNotSendable(const std::string& path);

}  // namespace zarvek
