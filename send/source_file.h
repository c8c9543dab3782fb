#pragma once
// One file being sent, mapped read-only as a whole: the sender copies each chunk
// straight out of the view. Writers are kept out while it is open (Windows share
// mode; on Linux nothing stops a writer, so the size is taken once at open).
#include <cstdint>
#include <string>

namespace zarvek {

class SourceFile {
 public:
  // The step at which open stopped, so the sender can say why.
  enum class Step { None, File, TooLarge, Mapping, View };

  SourceFile();
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // Keeps the path, opens the file for reading, takes its size and maps all of
  // it read-only. 1 on success; 0 at the first failing step, with the system's
  // error code on the diagnostic stream; what the earlier steps acquired stays
  // held until close(). An empty file fails at the mapping step with size 0
  // (nothing to map), and that size stays readable. A file of 4 GiB or more
  // fails at Step::TooLarge: the wire's size field has 32 bits.
  int open(const char* path);

  // Unmaps, closes the mapping and the file, each only if it exists.
  void close();

  // Nothing before `offset` will be read again: its pages may leave memory, so
  // that a large file costs no more resident memory than a small one.
  void releaseBefore(uint64_t offset);

  uint32_t size() const { return size_; }
  const uint8_t* view() const { return view_; }
  const char* path() const { return path_.c_str(); }
  Step failedStep() const { return failedStep_; }
  unsigned long errorCode() const { return errorCode_; }  // of the failed step

 private:
  // Records the failed step and its code and writes the code: open's failure path.
  int fail(Step step, unsigned long code);

  intptr_t file_;
  intptr_t mapping_;  // Windows mapping object; unused on Linux
  uint32_t size_ = 0;
  const uint8_t* view_ = nullptr;
  uint64_t released_ = 0;  // pages before this offset were given back
  // Any length: a path longer than 99 characters still yields the whole name.
  std::string path_;
  Step failedStep_ = Step::None;
  unsigned long errorCode_ = 0;
};

}  // namespace zarvek
