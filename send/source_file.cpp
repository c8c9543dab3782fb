#include "send/source_file.h"

#include "base/paths.h"
#include "base/system_text.h"

namespace zarvek {

Result SourceFile::open(const std::string& path) {
  path_ = path;
  opened_ = file_.openForReading(path);
  return opened_;
}

std::string SourceFile::name() const { return baseName(path_); }

std::string SourceFile::whyNotSendable() const {
  switch (file_.failedStep()) {
    case MappedFile::Step::None:
      break;
    case MappedFile::Step::Open:
    case MappedFile::Step::Reserve:
      return opened_.step() + ": " + systemErrorText(opened_.code());
    case MappedFile::Step::TooLarge:
      return "it is 4 GiB or larger, more than the size field can announce";
    case MappedFile::Step::Map:
      return "it cannot be mapped into memory";
  }
  const std::string base = name();
  if (base.empty()) return "it has no file name";
  if (base.size() > static_cast<size_t>(kMaxSentName)) {
    return "its name is longer than " + std::to_string(kMaxSentName) + " bytes, more than the receiving side holds";
  }
  return {};
}

std::string whyNotSendable(const std::string& path) {
  SourceFile file;
  static_cast<void>(file.open(path));  // the failed step, if any, is what whyNotSendable reads
  return file.whyNotSendable();
}

}  // namespace zarvek
