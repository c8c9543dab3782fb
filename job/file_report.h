#pragma once
// What became of a file, as the engines report it: values, which each front
// end words. The words below are shared by the front ends, so that the window
// and the terminal say the same thing of the same fault.
#include <cstdint>
#include <string>

#include "base/result.h"

namespace zarvek {

enum class FileProblem : uint8_t {
  None,
  // The sender cannot send the file at all.
  CannotOpen,     // the report's failure says which call failed
  TooLarge,       // 4 GiB or more: the size field cannot announce it
  CannotMap,
  NoFileName,
  NameTooLong,    // its base name is longer than the receiver holds
  // A sent file that did not arrive as sent.
  DidNotMatch,    // at the receiving end, the report's attempts times
  NotTaken,       // the receiving end could not make it
  NoAnswer,       // the receiving end stopped answering
  PortFailed,     // reading the reply failed: the report's failure
  // The receiver refused a name or could not make the file.
  NameEmpty,
  NameLongerThan99,
  NameWithControlCharacter,
  NameOnlyDotsAndSpaces,
  NameWithPathSeparator,
  NameWithDriveColon,
  NameReserved,
  NameNotShown,
  NoFolder,
  NoAcceptedName,
  PathTooLong,    // folder and name together longer than 255 characters
  NotCreated,     // the report's failure says which call failed
  // A relative path (a folder sent) the receiver will not use.
  PathNotRelative,    // absolute, a drive, an empty folder name, "." or ".."
  PathNotText,        // not UTF-8, or a character this system cannot name files with
  NameNotHeldHere,    // a name this file system cannot hold (Windows: a trailing dot or space, <>"|?*)
  FolderInTheWay,     // a link or a file stands where a folder of the path must be
  // The sender cannot send a folder's entry.
  PathTooLongToSend,  // its relative path is longer than the line carries
  FolderNeedsZarvek,  // a folder is made only by a receiver that took a file verified
};

enum class FileOutcome {
  Complete,        // receiver: "EF" with every announced byte written; sender: "EF" sent
  Incomplete,      // receiver: "EF" but the byte count differs from the announced size
  AbortedDeleted,  // receiver: "AF" received, partial copy deleted
  Kept,            // receiver: stopped mid-file, file kept at its announced size
  Refused,         // receiver: the name or file step failed (problem says why)
  Abandoned,       // sender: "AF" sent after the retry limit
  Stopped,         // sender: "AF" sent after the user stopped
  Skipped,         // sender: the file could not be sent at all (problem says why)
  LineFailed,      // sender: a reply could not be read; "AF" sent, the batch ends
  NotVerified,     // verified file: receiver: did not match its checksum, deleted;
                   // sender: not confirmed after the retry limit, or refused (problem says why)
  Discarded,       // receiver: a verified file cut off before it was verified (a stop,
                   // the sender starting over): its staged copy deleted
  Held,            // receiver: a verified file cut off; what arrived is kept to be taken
                   // up by the next send of the same file (`written` bytes)
};

struct FileReport {
  FileOutcome outcome = FileOutcome::Complete;
  std::string name;       // receiver: the received name; sender: the full path
  std::string path;       // receiver: where it is (or was) on disk
  uint64_t size = 0;      // announced size
  uint64_t written = 0;   // bytes written (receiver) or delivered (sender)
  // Refused, Skipped, NotVerified (sender), LineFailed: why; `failure` is the
  // system call behind it, if one failed, `attempts` how often it was sent.
  FileProblem problem = FileProblem::None;
  Result failure;
  int32_t attempts = 0;
  bool verified = false;  // Complete, and checked over all its bytes at both ends
  bool streamed = false;  // verified, its data sent without waiting packet by packet
  // Verified, and taken up where an earlier attempt stopped: the bytes that
  // did not go again. 0: sent whole.
  uint64_t resumedAt = 0;
  bool folder = false;          // a folder made (no data), not a file
  bool timeKept = false;        // receiver: the sender's modification time is on the file
  bool timeNotHeld = false;     // receiver: it came but this system could not set it: left as now
  bool underBaseName = false;   // sender: its folders did not go (a classic receiver)
  bool keptAtReceiver = false;  // sender, cut off: the receiver took it verified, so it keeps what arrived to take up
};

// "it is 4 GiB or larger, ...", "name contains a drive colon", ...
std::string problemText(FileProblem problem, const Result& failure = {}, int32_t attempts = 0);
std::string problemText(const FileReport& report);

// Sender: what the user is told of a file skipped or cut off by a failed line
// ("Cannot send ..."); empty for any other outcome.
std::string sendFailureMessage(const FileReport& report);

}  // namespace zarvek
