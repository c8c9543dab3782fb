#include "send/source_file.h"

#include "base/file_times.h"
#include "base/paths.h"

namespace zarvek {

Result SourceFile::open(const std::string& path) {
  path_ = path;
  opened_ = file_.openForReading(path);
  modified_ = modifiedTime(path).value_or(0);
  return opened_;
}

void SourceFile::openFolder(const std::string& path) {
  path_ = path;
  folder_ = true;
  opened_ = {};
  modified_ = modifiedTime(path).value_or(0);
}

std::string SourceFile::name() const { return baseName(path_); }

FileProblem SourceFile::problem() const {
  switch (file_.failedStep()) {
    case MappedFile::Step::None:
      break;
    case MappedFile::Step::Open:
    case MappedFile::Step::Reserve:
      return FileProblem::CannotOpen;
    case MappedFile::Step::TooLarge:
      return FileProblem::TooLarge;
    case MappedFile::Step::Map:
      return FileProblem::CannotMap;
  }
  const std::string base = name();
  if (base.empty()) return FileProblem::NoFileName;
  if (base.size() > static_cast<size_t>(kMaxSentName)) return FileProblem::NameTooLong;
  return FileProblem::None;
}

std::string whyNotSendable(const std::string& path) {
  SourceFile file;
  static_cast<void>(file.open(path));  // the failed step, if any, is what problem() reads
  return problemText(file.problem(), file.opened());
}

}  // namespace zarvek
