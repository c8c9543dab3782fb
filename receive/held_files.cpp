#include "receive/held_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "base/file_times.h"
#include "base/folders.h"
#include "base/mapped_file.h"
#include "protocol/big_endian.h"
#include "protocol/verified.h"
#include "receive/target_file.h"

namespace zarvek {
namespace {

constexpr char kPrefix[] = ".zarvek-";
constexpr char kPart[] = ".part";
constexpr char kRecord[] = ".resume";
constexpr uint8_t kMagic[4] = {'Z', 'V', 'R', 'S'};
constexpr uint8_t kVersion = 1;
constexpr size_t kRecordLimit = 512;

// magic, version, size, time, bytes held, path length, path
std::vector<uint8_t> identityBytes(const HeldFile& file, uint32_t bytes) {
  std::vector<uint8_t> out(23 + file.path.size());
  std::memcpy(out.data(), kMagic, 4);
  out[4] = kVersion;
  put32(out.data() + 5, file.size);
  const auto time = static_cast<uint64_t>(file.modified);
  put32(out.data() + 9, static_cast<uint32_t>(time >> 32));
  put32(out.data() + 13, static_cast<uint32_t>(time));
  put32(out.data() + 17, bytes);
  out[21] = static_cast<uint8_t>(file.path.size() >> 8);
  out[22] = static_cast<uint8_t>(file.path.size());
  if (!file.path.empty()) std::memcpy(out.data() + 23, file.path.data(), file.path.size());
  return out;
}

// The key names the file's staging and record files: the CRC-32 of what
// identifies it. Two files with one key only ever cost a resume.
std::string keyOf(const HeldFile& file) {
  const std::vector<uint8_t> bytes = identityBytes(file, 0);
  char key[9];
  std::snprintf(key, sizeof key, "%08x", static_cast<unsigned>(crc32(bytes.data(), bytes.size())));
  return key;
}

bool endsWith(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

struct Record {
  HeldFile file;
  uint32_t bytes = 0;
};

std::optional<Record> parse(const std::vector<uint8_t>& in) {
  if (in.size() < 27 || std::memcmp(in.data(), kMagic, 4) != 0 || in[4] != kVersion) return std::nullopt;
  if (get32(in.data() + in.size() - 4) != crc32(in.data(), in.size() - 4)) return std::nullopt;
  const size_t n = size_t{in[21]} << 8 | in[22];
  if (23 + n + 4 != in.size()) return std::nullopt;
  Record r;
  r.file.size = get32(in.data() + 5);
  r.file.modified = static_cast<int64_t>(uint64_t{get32(in.data() + 9)} << 32 | get32(in.data() + 13));
  r.bytes = get32(in.data() + 17);
  r.file.path.assign(reinterpret_cast<const char*>(in.data() + 23), n);
  return r;
}

}  // namespace

std::string HeldFiles::partPath(const HeldFile& file) const {
  return TargetFile::joinPath(folder_.c_str(), (kPrefix + keyOf(file) + kPart).c_str());
}

std::string HeldFiles::recordPath(const HeldFile& file) const {
  return TargetFile::joinPath(folder_.c_str(), (kPrefix + keyOf(file) + kRecord).c_str());
}

uint32_t HeldFiles::held(const HeldFile& file) const {
  std::vector<uint8_t> bytes;
  if (!readSmallFile(recordPath(file), kRecordLimit, bytes)) return 0;
  const std::optional<Record> record = parse(bytes);
  if (!record || record->file.path != file.path || record->file.size != file.size ||
      record->file.modified != file.modified || record->bytes > file.size) {
    return 0;
  }
  return record->bytes;
}

Result HeldFiles::record(const HeldFile& file, uint32_t bytes) const {
  std::vector<uint8_t> out = identityBytes(file, bytes);
  out.resize(out.size() + 4);
  put32(out.data() + out.size() - 4, crc32(out.data(), out.size() - 4));
  return writeFileDurably(recordPath(file), out);
}

void HeldFiles::forget(const HeldFile& file, bool keepPart) const {
  static_cast<void>(MappedFile::remove(recordPath(file)));
  if (!keepPart) static_cast<void>(MappedFile::remove(partPath(file)));
}

void HeldFiles::sweep(const std::string& open) const {
  struct Kept {
    std::string key;
    int64_t time;
  };
  std::vector<Kept> kept;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  const std::vector<std::string> names = filesStartingWith(folder_, kPrefix);
  for (const std::string& name : names) {
    if (!endsWith(name, kRecord)) continue;
    const std::string path = TargetFile::joinPath(folder_.c_str(), name.c_str());
    std::vector<uint8_t> bytes;
    const std::optional<int64_t> time = modifiedTime(path);
    const bool whole = readSmallFile(path, kRecordLimit, bytes) && parse(bytes).has_value();
    if (!whole || !time || now.count() - *time > std::chrono::duration_cast<std::chrono::seconds>(kHeldFor).count()) {
      static_cast<void>(MappedFile::remove(path));
      continue;
    }
    kept.push_back({name.substr(0, name.size() - std::strlen(kRecord)), *time});
  }
  std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) { return a.time > b.time; });
  for (size_t i = static_cast<size_t>(kMaxHeldFiles); i < kept.size(); ++i) {
    static_cast<void>(MappedFile::remove(TargetFile::joinPath(folder_.c_str(), (kept[i].key + kRecord).c_str())));
  }
  if (kept.size() > static_cast<size_t>(kMaxHeldFiles)) kept.resize(static_cast<size_t>(kMaxHeldFiles));
  // Staging files of files cut off before their first record, or whose
  // record went: nothing can take them up.
  for (const std::string& name : names) {
    const std::string path = TargetFile::joinPath(folder_.c_str(), name.c_str());
    // A record's temporary copy left by a crash mid-write: the record it
    // was to replace is still whole.
    if (!endsWith(name, kPart) && !endsWith(name, kRecord)) {
      static_cast<void>(MappedFile::remove(path));
      continue;
    }
    if (!endsWith(name, kPart)) continue;
    const std::string key = name.substr(0, name.size() - std::strlen(kPart));
    const bool live = std::any_of(kept.begin(), kept.end(), [&](const Kept& k) { return k.key == key; });
    if (!live && path != open) static_cast<void>(MappedFile::remove(path));
  }
}

}  // namespace zarvek
