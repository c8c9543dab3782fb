#pragma once
// The one seam through which the engines reach the user: the window on
// Windows, the terminal in the command line, a recorder in tests. It carries
// events, and each front end shows them its own way. Every call is synchronous:
// it returns once the front end has done it (a message once it is dismissed).
#include <cstdint>
#include <string>

#include "base/result.h"
#include "serial/port_error.h"

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
  NotVerified,     // verified file: receiver: did not match its checksum, deleted;
                   // sender: not confirmed after the retry limit, or refused (reason says why)
  Discarded,       // receiver: a verified file cut off before it was verified (a stop,
                   // the sender starting over): its staged copy deleted
};

struct FileReport {
  FileOutcome outcome = FileOutcome::Complete;
  std::string name;       // receiver: the received name; sender: the full path
  std::string path;       // receiver: where it is (or was) on disk
  uint64_t size = 0;      // announced size
  uint64_t written = 0;   // bytes written (receiver) or delivered (sender)
  std::string reason;     // Refused, Skipped, LineFailed
  bool verified = false;  // Complete, and checked over all its bytes at both ends
};

class TransferUi {
 public:
  virtual ~TransferUi() = default;

  // A file begins: the sender's full path and the size it found, or the
  // receiver's name as the sender gave it and the size announced. False when
  // it cannot be shown: the receiver then refuses the name.
  virtual bool fileBegins(const std::string& name, uint64_t size) = 0;
  // Both ends, once per data packet taken: `done` of the file's `total` bytes
  // are delivered (sender) or written (receiver).
  virtual void progress(uint64_t done, uint64_t total) = 0;
  // Sender: a data packet refused ("N", or no answer in a verified file) and
  // to be sent again.
  virtual void chunkRefused() {}
  // What became of a file.
  virtual void fileEnded(const FileReport& report) = 0;
  // Receiver: a file cycle is over and the next one waits for its first packet.
  virtual void betweenFiles() = 0;
  // A message the user must read; returns once dismissed.
  virtual void showMessage(const char* text, const char* caption, MessageIcon icon) = 0;
  // A system call failed: the step and the system's error code.
  virtual void systemCallFailed(const Result& failure) = 0;
  // The job's port could not be opened; nothing is sent or received.
  virtual void portNotOpened(const std::string& port, PortError error, const Result& failure) = 0;
  // The port is open and set up: the other end may start.
  virtual void lineReady() {}
  // Sender: the batch ran to its end, nothing stopped, abandoned or skipped.
  virtual void playCompletionSound() = 0;
  // Receiver: the receive loop is over and the receiver gone, so every file
  // has been reported.
  virtual void receiveEnded() {}
};

}  // namespace zarvek
