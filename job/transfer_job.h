#pragma once
// The one record that a front end and the worker share for a transfer: the
// settings, what to send, and the `running` flag. While a worker runs, the
// front end writes nothing here but `running` (to 0), and the worker writes
// nothing at all.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zarvek {

// The windowed program's modes; Sending and Receiving are also a job's roles.
enum class AppState : int32_t {
  Idle = 1,
  Sending = 2,
  Receiving = 3,
};

// The receive folder holds at most 255 characters, in the window, on the
// command line and at the receiver alike.
inline constexpr size_t kMaxFolderLength = 255;
inline bool receiveFolderFits(std::string_view folder) { return folder.size() <= kMaxFolderLength; }

inline constexpr int32_t kDefaultSpeed = 115200;
inline constexpr int32_t kDefaultRetryLimit = 4;
// The retry limit a user may choose, in the window and on the command line.
inline constexpr int32_t kRetryLimitMin = 1;
inline constexpr int32_t kRetryLimitMax = 20;
inline constexpr char kDefaultPort[] = "COM2";

struct TransferJob {
  std::vector<std::string> files;  // Send: the full path of each file, in order
  // Send: where each file goes under the receive folder, '/' between folders
  // (UTF-8), parallel to `files`; one ending in '/' is a folder to make. Empty
  // (or an empty entry): the file's base name.
  std::vector<std::string> wirePaths;
  int32_t speed = 0;
  std::string portName;  // "COM1".."COM4" in the window; any device in the command line
  int32_t crcRetryLimit = 0;
  std::string receiveFolder;  // at most kMaxFolderLength characters; empty: the current directory
  // Offer (sending) and take (receiving) verified transfers when the other end
  // is Zarvek too; with any other peer every file stays classic.
  bool verify = true;
  // Stream verified files (ask, sending; take, receiving) when the other end
  // takes it; without, every verified file waits for each packet's answer.
  bool stream = true;
  // Receiving: keep what arrived of a verified file that was cut off, and take
  // it up when the same file comes again; without, it is deleted.
  bool resume = true;
  // One byte, cleared by the front end, read by the worker at every poll;
  // nothing else changes while a worker runs, so no ordering beyond the flag
  // is needed.
  std::atomic<uint8_t> running{0};
  AppState mode = AppState::Idle;  // Sending or Receiving while a worker runs
};

// The start-up values: receive folder = the current directory (left empty when
// it does not fit), port "COM2", 115200 bit/s, retry limit 4.
void setInitialValues(TransferJob& job);

}  // namespace zarvek
