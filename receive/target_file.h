#pragma once
// The one file being received: created in the receive folder at the announced
// size (zero-filled, space reserved), mapped read/write and filled in place, held
// exclusively while open. A sender can be hostile: nothing is ever written
// outside the fixed fields, the view or the receive folder.
#include <cstdint>
#include <string>

namespace zarvek {

class TransferUi;

inline constexpr int32_t kNameSize = 100;  // 99 characters and the NUL
inline constexpr int32_t kPathSize = 256;  // 255 characters and the NUL

class TargetFile {
 public:
  TargetFile();
  ~TargetFile();  // close()
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  // Copies the receive folder into path. 0 if it does not fit 255 characters.
  int setFolder(const char* folder);

  // Bytes 4..7 of the packet, big-endian, into size; returns it (0 is a failed step).
  uint32_t storeSize(const uint8_t* packet);

  // Copies packet byte 3 (the name length; byte 2 is ignored) name bytes from
  // byte 4 into name and shows it through the status text. 0 when the name does
  // not fit, is unsafe (refuseReason), or the text cannot be shown.
  int takeName(const uint8_t* packet, TransferUi& ui);

  // folder + separator (unless the folder ends with one) + name. An empty
  // folder gives the name alone: the current directory, which is where the
  // receive folder is left empty (the start-up directory did not fit). Empty if
  // the result would not fit 255 characters.
  static std::string joinPath(const char* folder, const char* name);

  // Joins the folder and the name into path, creates (or truncates) the file,
  // reserves and zero-fills `size` bytes, maps them read/write. 1 only if the
  // file, the reservation, the mapping and the view were all made. A size of 0
  // leaves an empty file and fails at the mapping step. Refused without a
  // folder from setFolder or a name that the last takeName accepted. A file left
  // open by an earlier name is closed first and stays on disk.
  int openForWrite();

  // Copies `length` bytes from packet byte 4 into the view at `offset`.
  // Refused (0) without a view, for a length outside 0..1024, or when the chunk
  // would end past the mapped view (size as it was when the file was mapped).
  int writeChunk(const uint8_t* packet, int32_t length, int64_t offset);

  // Unmaps the view, closes the mapping and the file; nothing that was not made.
  void close();

  // Everything before `offset` is written: its pages may leave this process's
  // memory (they stay in the file), so that a large file costs no more
  // resident memory than a small one.
  void releaseBefore(uint64_t offset);

  // Closes, then deletes the file at path. 1 if it was deleted. Only a file
  // this object created is deleted: before a name step path is the folder, and
  // after a failed create the file at path belongs to someone else.
  int discard();

  uint32_t size() const { return size_; }
  const char* name() const { return name_; }
  const char* path() const { return path_; }
  bool isMapped() const { return view_ != nullptr; }
  bool hasFile() const;
  // Why the last takeName or openForWrite failed; empty if it did not.
  const std::string& refusal() const { return refusal_; }

 private:
  // Shared first step of openForWrite: closes a file left open by an earlier
  // name, checks the name again and joins folder and name into path.
  int preparePath();
  // Keeps a system failure's reason and writes its code; returns 0.
  int failStep(const char* what, unsigned long code);

  intptr_t file_;
  intptr_t mapping_;  // Windows mapping object; unused on Linux
  uint8_t* view_ = nullptr;
  uint64_t released_ = 0;  // pages before this offset were given back
  uint32_t size_ = 0;
  // Length of the view. size can change after the file is mapped (a second
  // size packet); chunks are bounded by what is really mapped.
  uint32_t mapped_ = 0;
  char name_[kNameSize] = {};
  char path_[kPathSize] = {};
  std::string folder_;   // kept apart from path, so a second name joins the folder again
  bool hasFolder_ = false;  // setFolder accepted a folder
  bool nameTaken_ = false;  // the last takeName accepted the name
  bool named_ = false;      // path holds the file's full path, not the folder
  bool created_ = false;    // this object created (or truncated) the file at path
  std::string refusal_;
};

// Why a received name may not be used as a file name in the receive folder, or
// nullptr if it may: empty, only dots and spaces ("." and ".." among them), a
// path separator ('\' or '/'), a colon (drive or stream), a control character;
// on Windows also a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9,
// CONIN$, CONOUT$, with or without an extension).
const char* refuseReceivedName(const char* name);

// Platform part of refuseReceivedName: reserved device names (none on Linux).
bool isReservedDeviceName(const char* name);

}  // namespace zarvek
