#pragma once
// The one seam through which the engines reach the user: the window's controls
// on Windows, the terminal in the command line, a recorder in tests.
// Every call is synchronous: it returns once the user-facing side has done it
// (a message returns when the user has dismissed it).
#include <cstdint>
#include <string>

namespace zarvek {

enum class MessageIcon { None, Warning, Error };

enum class FileOutcome {
  Complete,        // receiver: "EF" with every announced byte written; sender: "EF" sent
  Incomplete,      // receiver: "EF" but the byte count differs from the announced size
  AbortedDeleted,  // receiver: "AF" received, partial copy deleted
  Kept,            // receiver: stopped mid-file, file kept at its announced size
  Refused,         // receiver: the name or file step failed (reason says why)
  Abandoned,       // sender: "AF" sent after the retry limit
  Stopped,         // sender: "AF" sent after the user stopped
  Skipped,         // sender: the file could not be sent at all (reason says why)
  LineFailed,      // sender: a reply could not be read; "AF" sent, the batch ends
};

struct FileReport {
  FileOutcome outcome = FileOutcome::Complete;
  std::string name;       // receiver: the received name; sender: the full path
  std::string path;       // receiver: where it is (or was) on disk
  uint64_t size = 0;      // announced size
  uint64_t written = 0;   // bytes written (receiver) or delivered (sender)
  std::string reason;     // Refused / Skipped
};

class TransferUi {
 public:
  virtual ~TransferUi() = default;

  // The one-line status field. False when the text could not be shown.
  virtual bool setStatusText(const char* text) = 0;
  // Progress bar: range 0..upper (32-bit), step 1, one step per delivered chunk.
  virtual void setProgressRange(uint32_t upper) = 0;
  virtual void stepProgress() = 0;
  // A modal message; returns when dismissed.
  virtual void showMessage(const char* text, const char* caption, MessageIcon icon) = 0;
  virtual void playCompletionSound() = 0;

  // Optional reporting for front ends that log per file (the command line).
  virtual void fileEnded(const FileReport& /*report*/) {}
  // A data packet was refused ("N") and will be sent again.
  virtual void chunkRefused() {}
  // The receive loop is over and the receiver gone: every file has been reported.
  virtual void receiveEnded() {}
};

}  // namespace zarvek
