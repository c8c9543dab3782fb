#pragma once
// The one seam through which the engines reach the user: the window on
// Windows, the terminal in the command line, a recorder in tests. It carries
// events, and each front end shows them its own way. Every call is synchronous:
// it returns once the front end has done it (a box once it is dismissed).
// The engines send values; every word the user reads is the front end's.
#include <cstdint>
#include <string>

#include "base/result.h"
#include "job/file_report.h"
#include "serial/port_error.h"

namespace zarvek {

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
  // Sender: the retry limit of refusals in a row was reached; the file is
  // abandoned once this returns (a window's box holds the line until dismissed).
  virtual void retryLimitReached() = 0;
  // Receiver: a packet could not be read (`failure`); it gets no answer and the
  // file cycle ends once this returns.
  virtual void packetUnread(const Result& failure) = 0;
  // A system call failed: the step and the system's error code.
  virtual void systemCallFailed(const Result& failure) = 0;
  // The job's port could not be opened; nothing is sent or received.
  virtual void portNotOpened(const std::string& port, PortError error, const Result& failure) = 0;
  // Sender: the batch ran to its end, nothing stopped, abandoned or skipped.
  virtual void playCompletionSound() = 0;
  // Receiver: the receive loop is over and the receiver gone, so every file
  // has been reported.
  virtual void receiveEnded() {}
};

}  // namespace zarvek
