#include "receive/target_file.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/file_times.h"
#include "base/folders.h"
#include "base/paths.h"
#include "base/wire_text.h"
#include "job/transfer_job.h"
#include "protocol/packet.h"

namespace zarvek {

static_assert(kMaxFolderLength < kPathSize, "every folder the job takes fits path_");

bool TargetFile::setFolder(const char* folder) {
  if (folder == nullptr || !receiveFolderFits(folder)) {
    path_[0] = '\0';
    folder_.clear();
    hasFolder_ = false;
    return false;
  }
  std::strcpy(path_, folder);  // fits: kPathSize holds the longest folder
  folder_ = folder;
  hasFolder_ = true;
  named_ = false;
  return true;
}

uint32_t TargetFile::storeSize(const uint8_t* packet) {
  const uint8_t* p = packet + offset::payload;
  size_ = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  return size_;
}

bool TargetFile::takeName(const uint8_t* packet) {
  refusal_ = FileProblem::None;
  failure_ = {};
  nameTaken_ = false;
  // Byte 2 is not part of a name's length: only byte 3 counts.
  const int32_t n = packet[offset::lengthLow];
  if (n >= kNameSize) {
    name_[0] = '\0';
    refusal_ = FileProblem::NameLongerThan99;
    return false;
  }
  std::memcpy(name_, packet + offset::payload, static_cast<size_t>(n));
  name_[n] = '\0';
  // A NUL inside the name would make the file's name differ from the one sent.
  if (std::strlen(name_) != static_cast<size_t>(n)) {
    refusal_ = FileProblem::NameWithControlCharacter;
    return false;
  }
  if (const FileProblem why = refuseReceivedName(name_); why != FileProblem::None) {
    refusal_ = why;
    return false;
  }
  nameTaken_ = true;
  return true;
}

bool TargetFile::takePath(const std::string& wirePath) {
  refusal_ = FileProblem::None;
  failure_ = {};
  nameTaken_ = false;
  wirePath_ = wirePath;
  parts_.clear();
  std::vector<std::string> parts;
  if (const FileProblem why = refuseReceivedPath(wirePath, parts); why != FileProblem::None) {
    refusal_ = why;
    return false;
  }
  parts_ = std::move(parts);
  nameTaken_ = true;
  return true;
}

void TargetFile::refuseName(FileProblem why, const Result& failure) {
  refusal_ = why;
  failure_ = failure;
  nameTaken_ = false;
}

std::string TargetFile::joinPath(const char* folder, const char* name) {
  std::string path = folder ? folder : "";
  if (!path.empty() && !isPathSeparator(path.back())) path += kPathSeparator;
  path += name ? name : "";
  if (path.size() >= static_cast<size_t>(kPathSize)) return {};
  return path;
}

bool TargetFile::preparePath() {
  refusal_ = FileProblem::None;
  failure_ = {};
  // A second name in one cycle: the earlier file is closed and stays as it is.
  file_.close();
  created_ = false;
  staged_.clear();
  if (!hasFolder_) {
    refusal_ = FileProblem::NoFolder;
    return false;
  }
  // Only a name that takeName accepted is used: a refused one (even when what
  // is left of it before a NUL looks harmless) never becomes a file.
  if (!nameTaken_) {
    refusal_ = FileProblem::NoAcceptedName;
    return false;
  }
  std::string relative = name_;
  if (!parts_.empty()) {
    relative.clear();
    for (const std::string& part : parts_) relative += (relative.empty() ? "" : std::string(1, kPathSeparator)) + part;
  }
  const std::string joined = joinPath(folder_.c_str(), relative.c_str());
  if (joined.empty()) {
    refusal_ = FileProblem::PathTooLong;
    return false;
  }
  // The folders of a relative path are made now, so that a link or a file in
  // their way refuses the file before any data comes for it.
  if (parts_.size() > 1) {
    const std::vector<std::string> folders(parts_.begin(), parts_.end() - 1);
    if (Result made = makeFolders(folder_.empty() ? "." : folder_, folders); !made) {
      refusal_ = FileProblem::FolderInTheWay;
      failure_ = made;
      return false;
    }
  }
  std::memcpy(path_, joined.c_str(), joined.size() + 1);
  named_ = true;
  return true;
}

Result TargetFile::openForWrite() {
  if (!preparePath()) return Result::refused(problemText(refusal_));
  Result made = file_.create(path_, size_);
  // Past the open step the file at path is this object's: created or emptied.
  created_ = file_.isOpen();
  if (!made) {
    refusal_ = FileProblem::NotCreated;
    failure_ = made;
  }
  return made;
}

Result TargetFile::openStaged(uint32_t tag) {
  if (!preparePath()) return Result::refused(problemText(refusal_));
  char name[24];
  std::snprintf(name, sizeof name, ".zarvek-%08x.part", static_cast<unsigned>(tag));
  staged_ = joinPath(folder_.c_str(), name);
  if (staged_.empty()) {
    refusal_ = FileProblem::PathTooLong;
    return Result::refused(problemText(refusal_));
  }
  Result made = file_.create(staged_, size_);
  created_ = file_.isOpen();
  if (!made) {
    refusal_ = FileProblem::NotCreated;
    failure_ = made;
  }
  return made;
}

Result TargetFile::openStagedAt(const std::string& staged, uint32_t held) {
  if (!preparePath()) return Result::refused(problemText(refusal_));
  staged_ = staged;
  Result made = held > 0 ? file_.openExisting(staged_, size_) : file_.create(staged_, size_);
  created_ = file_.isOpen();
  if (!made) {
    refusal_ = FileProblem::NotCreated;
    failure_ = made;
  }
  return made;
}

Result TargetFile::publish() {
  file_.close();
  Result placed = MappedFile::replace(staged_, path_);
  if (placed) {
    // It is a finished file now: nothing here deletes it any more.
    staged_.clear();
    created_ = false;
    applyTime();
  }
  return placed;
}

Result TargetFile::makeFolder() {
  if (!preparePath()) return Result::refused(problemText(refusal_));
  Result made = makeFolders(folder_.empty() ? "." : folder_, parts_);
  if (!made) {
    refusal_ = FileProblem::FolderInTheWay;
    failure_ = made;
    return made;
  }
  applyTime();
  return made;
}

void TargetFile::applyTime() {
  if (!modified_) return;
  // A time this system cannot hold leaves the file's own ("now"): reported.
  timeKept_ = static_cast<bool>(setModifiedTime(path_, *modified_));
  timeNotHeld_ = !timeKept_;
}

Result TargetFile::flush(uint32_t upTo) { return file_.flush(upTo); }

void TargetFile::keepStaged() {
  file_.close();
  staged_.clear();
  created_ = false;
}

bool TargetFile::writeChunk(const uint8_t* packet, int32_t length, int64_t offset) {
  if (!file_.isMapped() || length < 0 || length > kMaxChunk || offset < 0) return false;
  const auto mapped = static_cast<int64_t>(file_.size());
  // Compared without adding, so no offset can wrap around past the check.
  if (offset > mapped || length > mapped - offset) return false;
  std::memcpy(file_.data() + offset, packet + offset::payload, static_cast<size_t>(length));
  return true;
}

void TargetFile::releaseBefore(uint64_t offset) { file_.releaseBefore(offset); }

void TargetFile::close() { file_.close(); }

bool TargetFile::discard() {
  const std::string path = staged_.empty() ? std::string(path_) : staged_;
  const bool ours = named_ && created_;
  // A file that is mapped or open without sharing cannot be deleted.
  file_.close();
  if (!ours) return false;
  created_ = false;
  return MappedFile::remove(path) ? 1 : 0;
}

FileProblem refuseReceivedName(const char* name) {
  if (name == nullptr || name[0] == '\0') return FileProblem::NameEmpty;
  // ".", ".." and their look-alikes: Windows drops trailing dots and spaces, so
  // ".. " would name the parent folder there.
  if (std::strspn(name, ". ") == std::strlen(name)) return FileProblem::NameOnlyDotsAndSpaces;
  for (const char* c = name; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte == '/' || byte == '\\') return FileProblem::NameWithPathSeparator;
    if (byte == ':') return FileProblem::NameWithDriveColon;
    if (byte < 0x20 || byte == 0x7F) return FileProblem::NameWithControlCharacter;
  }
  if (isReservedDeviceName(name)) return FileProblem::NameReserved;
  return FileProblem::None;
}

FileProblem refuseReceivedPath(const std::string& wirePath, std::vector<std::string>& parts) {
  parts.clear();
  if (wirePath.empty()) return FileProblem::NameEmpty;
  if (wirePath[0] == '/' || wirePath[0] == '\\') return FileProblem::PathNotRelative;
  for (size_t start = 0;;) {
    const size_t end = wirePath.find('/', start);
    const std::string part = wirePath.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") return FileProblem::PathNotRelative;
    const std::optional<std::string> local = fromWireText(part);
    if (!local) return FileProblem::PathNotText;
    // A NUL would end the name early: the file would not be the one sent.
    if (local->find('\0') != std::string::npos) return FileProblem::NameWithControlCharacter;
    if (const FileProblem why = refuseReceivedName(local->c_str()); why != FileProblem::None) return why;
    if (!nameHeldAsGiven(local->c_str())) return FileProblem::NameNotHeldHere;
    parts.push_back(*local);
    if (parts.size() > kMaxPathParts) return FileProblem::PathNotRelative;
    if (end == std::string::npos) return FileProblem::None;
    start = end + 1;
  }
}

}  // namespace zarvek
