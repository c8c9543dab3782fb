#include "job/file_report.h"

#include "base/system_text.h"

namespace zarvek {

std::string problemText(FileProblem problem, const Result& failure, int32_t attempts) {
  switch (problem) {
    case FileProblem::None:
      return {};
    case FileProblem::CannotOpen:
      return failure.step() + ": " + systemErrorText(failure.code());
    case FileProblem::TooLarge:
      return "it is 4 GiB or larger, more than the size field can announce";
    case FileProblem::CannotMap:
      return "it cannot be mapped into memory";
    case FileProblem::NoFileName:
      return "it has no file name";
    case FileProblem::NameTooLong:
      return "its name is longer than 99 bytes, more than the receiving side holds";
    case FileProblem::DidNotMatch:
      return "it did not match at the receiving end, " + std::to_string(attempts) + " times";
    case FileProblem::NotTaken:
      return "the receiving end could not take it";
    case FileProblem::NoAnswer:
      return "the receiving end did not answer";
    case FileProblem::PortFailed:
      return failure.step();
    case FileProblem::NameEmpty:
      return "name is empty";
    case FileProblem::NameLongerThan99:
      return "name is longer than 99 characters";
    case FileProblem::NameWithControlCharacter:
      return "name contains a control character";
    case FileProblem::NameOnlyDotsAndSpaces:
      return "name is only dots and spaces";
    case FileProblem::NameWithPathSeparator:
      return "name contains a path separator";
    case FileProblem::NameWithDriveColon:
      return "name contains a drive colon";
    case FileProblem::NameReserved:
      return "name is a reserved device name";
    case FileProblem::NameNotShown:
      return "the name cannot be shown";
    case FileProblem::NoFolder:
      return "no usable receive folder";
    case FileProblem::NoAcceptedName:
      return "no accepted name";
    case FileProblem::PathTooLong:
      return "folder and name are longer than 255 characters";
    case FileProblem::NotCreated:
      return failure.step() + " (error " + std::to_string(failure.code()) + ")";
    case FileProblem::PathNotRelative:
      return "path is not relative to the receive folder";
    case FileProblem::PathNotText:
      return "path is not text this system can name files with";
    case FileProblem::NameNotHeldHere:
      return "name cannot be held by this file system";
    case FileProblem::FolderInTheWay:
      return "a link or a file stands where a folder of the path must be";
    case FileProblem::PathTooLongToSend:
      return "its path under the folder sent is longer than 255 bytes";
    case FileProblem::FolderNeedsZarvek:
      return "a folder is made only by a receiver that took a file of this batch verified";
  }
  return {};
}

std::string problemText(const FileReport& report) {
  return problemText(report.problem, report.failure, report.attempts);
}

std::string sendFailureMessage(const FileReport& report) {
  switch (report.outcome) {
    case FileOutcome::Skipped:
      return "Cannot send " + report.name + ": " + problemText(report) + ".";
    case FileOutcome::LineFailed:
      return (report.problem == FileProblem::PortFailed
                  ? "The port failed while waiting for the reply to a packet of "
                  : "The receiving end stopped answering while receiving ") +
             report.name + ". The file was not sent complete, and no further file is sent.";
    default:
      return {};
  }
}

}  // namespace zarvek
