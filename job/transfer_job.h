#pragma once
// The one record that the window and the worker share for a transfer.
// While a worker runs, the window writes nothing here but `running` (to 0),
// and the worker writes nothing but `nextName`.
#include <atomic>
#include <cstdint>

namespace zarvek {

using WindowHandle = void*;  // HWND on Windows; unused elsewhere

enum AppState : int32_t {
  Idle = 1,
  Sending = 2,
  Receiving = 3,
};

inline constexpr int32_t kSelectionSize = 25600;
inline constexpr int32_t kPortNameSize = 8;
inline constexpr int32_t kFolderSize = 256;

inline constexpr int32_t kDefaultSpeed = 115200;
inline constexpr int32_t kDefaultRetryLimit = 4;
inline constexpr char kDefaultPort[] = "COM2";

struct TransferJob {
  char selection[kSelectionSize] = {};  // dialog result: "path\0\0" or "folder\0name\0...\0\0"
  int32_t nextName = 0;                 // index in selection of the next name to send
  WindowHandle mainWindow = nullptr;
  WindowHandle progressBar = nullptr;
  WindowHandle statusField = nullptr;
  int32_t speed = 0;
  char portName[kPortNameSize] = {};
  int32_t crcRetryLimit = 0;
  char receiveFolder[kFolderSize] = {};
  // One byte, cleared by the window, read by the worker at every poll; nothing
  // else changes while a worker runs, so no ordering beyond the flag is needed.
  std::atomic<uint8_t> running{0};
  int32_t mode = 0;  // Sending or Receiving
};

// The start-up values: receive folder = the current directory (left empty when
// it does not fit 256 bytes), port "COM2", 115200 bit/s, retry limit 4.
void setInitialValues(TransferJob& job);

// The current directory into buf (capacity bytes, NUL included); false, with buf
// untouched, when it does not fit or cannot be read.
bool fetchCurrentDirectory(char* buf, int32_t capacity);

}  // namespace zarvek
