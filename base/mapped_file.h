#pragma once
// A whole file mapped into memory and held while it is open: the file being
// sent, mapped read-only and copied chunk by chunk straight out of the view;
// the file being received, created at its full size and filled in place. One
// implementation per platform (mapped_file_posix.cpp, mapped_file_win32.cpp).
#include <cstdint>
#include <memory>
#include <string>

#include "base/result.h"

namespace zarvek {

class MappedFile {
 public:
  // Where opening or creating stopped.
  enum class Step { None, Open, TooLarge, Reserve, Map };

  MappedFile();
  ~MappedFile();  // close()
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // An existing regular file opened for reading (others may read it; on
  // Windows nobody may write it meanwhile) and mapped read-only, whole, for a
  // read from start to end. A file of 4 GiB or more stops at TooLarge: the
  // wire announces sizes in 32 bits. An empty file is opened with no view.
  Result openForReading(const std::string& path);

  // `path` created, or emptied when it exists, and held exclusively; `size`
  // zero bytes reserved on disk, so that a full disk fails here rather than in
  // a later copy into the view; then mapped read/write. Only a regular file is
  // written, and on Linux no link is followed. A size of 0 leaves an empty
  // file, open with no view.
  Result create(const std::string& path, uint32_t size);

  // An existing regular file (no link followed) of exactly `size` bytes,
  // opened and held exclusively as create() holds it, and mapped read/write
  // with its content as it is: a partly received file taken up again.
  Result openExisting(const std::string& path, uint32_t size);

  // Everything written into the view before `upTo` is on the disk when this
  // returns (the pages written back, then the file's data flushed), so that
  // it survives a crash or a power loss.
  Result flush(uint64_t upTo);

  // What the steps before a failed one made stays held until close.
  void close();

  // Nothing before `offset` will be touched again: its pages may leave this
  // process's memory (they stay in the file), so that a large file costs no
  // more resident memory than a small one.
  void releaseBefore(uint64_t offset);

  bool isOpen() const;
  bool isMapped() const { return data_ != nullptr; }
  uint32_t size() const { return size_; }
  uint8_t* data() const { return data_; }
  Step failedStep() const { return failedStep_; }

  // Deletes a file that nobody holds open.
  static Result remove(const std::string& path);
  // Puts the closed file `from` in place of `to` (replacing a file there) in
  // one step, in the same folder.
  static Result replace(const std::string& from, const std::string& to);

 private:
  Result fail(Step step, const char* what, unsigned long code);
  Result mapWhole(bool writable);  // the last step of opening or creating: data_ and size_ set

  struct Handles;  // the platform's file and mapping handles
  std::unique_ptr<Handles> handles_;
  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint64_t released_ = 0;  // pages before this offset were given back
  Step failedStep_ = Step::None;
};

}  // namespace zarvek
