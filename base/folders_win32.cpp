#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/folders.h"
#include "base/paths.h"
#include "base/unique_handle_win32.h"

namespace zarvek {

namespace {

// A folder search, which FindClose ends (not CloseHandle, as UniqueHandle would).
class FolderSearch {
 public:
  explicit FolderSearch(const std::string& folder, WIN32_FIND_DATAA& first)
      : search_(FindFirstFileA(joinedPattern(folder).c_str(), &first)) {}
  ~FolderSearch() {
    if (search_ != INVALID_HANDLE_VALUE) FindClose(search_);
  }
  FolderSearch(const FolderSearch&) = delete;
  FolderSearch& operator=(const FolderSearch&) = delete;

  explicit operator bool() const { return search_ != INVALID_HANDLE_VALUE; }
  bool next(WIN32_FIND_DATAA& data) { return FindNextFileA(search_, &data) != 0; }

 private:
  static std::string joinedPattern(const std::string& folder) {
    return folder + (!folder.empty() && isPathSeparator(folder.back()) ? "*" : "\\*");
  }
  HANDLE search_;
};

struct Found {
  std::string name;
  DWORD attributes;
  bool operator<(const Found& other) const { return name < other.name; }  // byte order
};

// Every entry but "." and "..", in byte order; false (GetLastError set) if
// the folder could not be read to its end.
bool listFolder(const std::string& folder, std::vector<Found>& out) {
  WIN32_FIND_DATAA data;
  FolderSearch search(folder, data);
  if (!search) return false;
  do {
    const std::string name = data.cFileName;
    if (name != "." && name != "..") out.push_back({name, data.dwFileAttributes});
  } while (search.next(data));
  if (GetLastError() != ERROR_NO_MORE_FILES) return false;
  std::sort(out.begin(), out.end());
  return true;
}

std::string joined(const std::string& folder, const std::string& name) {
  if (!folder.empty() && isPathSeparator(folder.back())) return folder + name;
  return folder + kPathSeparator + name;
}

// A link, a junction or any other reparse point is never entered.
bool isLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool isFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !isLink(attributes); }
bool isFile(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 && !isLink(attributes);
}

struct Walk {
  std::vector<TreeEntry> files;    // pre-order
  std::vector<TreeEntry> folders;  // post-order

  // False if the folder could not be read (nothing of it added).
  bool visit(const std::string& path, const std::vector<std::string>& components) {
    std::vector<Found> found;
    if (!listFolder(path, found)) return false;
    std::vector<std::string> subfolders;
    for (const Found& f : found) {
      if (isFolder(f.attributes)) {
        subfolders.push_back(f.name);
        continue;
      }
      std::vector<std::string> below = components;
      below.push_back(f.name);
      files.push_back({isFile(f.attributes) ? TreeEntry::Kind::File : TreeEntry::Kind::Skipped,
                       joined(path, f.name), std::move(below)});
    }
    for (const std::string& name : subfolders) {
      std::vector<std::string> below = components;
      below.push_back(name);
      const std::string subPath = joined(path, name);
      if (!visit(subPath, below)) files.push_back({TreeEntry::Kind::Skipped, subPath, below});
    }
    folders.push_back({TreeEntry::Kind::Folder, path, components});
    return true;
  }
};

}  // namespace

Result listTree(const std::string& root, std::vector<TreeEntry>& out) {
  std::string trimmed = root;
  // "tree\" is listed as "tree", with "tree\a" below it; "C:\" stays, as
  // "C:" names the drive's current folder.
  while (trimmed.size() > 1 && isPathSeparator(trimmed.back()) && trimmed[trimmed.size() - 2] != ':') {
    trimmed.pop_back();
  }
  const DWORD attributes = GetFileAttributesA(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Result::failed("cannot open the folder", GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Result::failed("not a folder", ERROR_DIRECTORY);
  Walk walk;
  if (!walk.visit(trimmed, {baseName(trimmed)})) return Result::failed("cannot read the folder", GetLastError());
  out = std::move(walk.files);
  out.insert(out.end(), walk.folders.begin(), walk.folders.end());
  return {};
}

bool isRealFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && isFolder(attributes);
}

Result makeFolders(const std::string& root, const std::vector<std::string>& components) {
  // Every name is checked before any folder is made: a refusal leaves nothing
  // behind. A drive ("C:") or a stream ("a:b") in a name would lead elsewhere.
  for (const std::string& name : components) {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("\\/:") != std::string::npos) {
      return Result::refused("not a folder name: " + name);
    }
  }
  if (!isRealFolder(root)) return Result::failed("cannot open the receive folder", ERROR_PATH_NOT_FOUND);
  std::string path = root;
  for (const std::string& name : components) {
    path = joined(path, name);
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return Result::failed("cannot make the folder " + name, GetLastError());
    }
    // Checked also when just made: a junction may have taken its place since.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Result::failed("cannot open the folder " + name, GetLastError());
    if (!isFolder(attributes)) return Result::refused("a link or a file is in the way: " + name);
  }
  return {};
}

std::vector<std::string> filesStartingWith(const std::string& folder, const std::string& prefix) {
  std::vector<Found> found;
  std::vector<std::string> names;
  if (!listFolder(folder, found)) return names;
  for (const Found& f : found) {
    if (f.name.compare(0, prefix.size(), prefix) == 0 && isFile(f.attributes)) names.push_back(f.name);
  }
  return names;
}

Result writeFileDurably(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string temp = path + ".tmp";
  {
    UniqueHandle file(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Result::failed("cannot create the file", GetLastError());
    Result written;
    size_t done = 0;
    while (written && done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
      DWORD n = 0;
      if (!WriteFile(file.get(), bytes.data() + done, chunk, &n, nullptr)) {
        written = Result::failed("cannot write the file", GetLastError());
      }
      done += n;
    }
    if (written && !FlushFileBuffers(file.get())) written = Result::failed("cannot flush the file", GetLastError());
    if (!written) {
      file.reset();
      DeleteFileA(temp.c_str());
      return written;
    }
  }
  // WRITE_THROUGH: the move is on the disk when this returns, as the folder's
  // flush makes it on Linux.
  if (!MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = GetLastError();
    DeleteFileA(temp.c_str());
    return Result::failed("cannot put the file under its name", code);
  }
  return {};
}

Result readSmallFile(const std::string& path, size_t limit, std::vector<uint8_t>& out) {
  // OPEN_REPARSE_POINT: a link is opened itself, and refused below, not followed.
  const UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return Result::failed("cannot open the file", GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) return Result::failed("cannot read the file's size", GetLastError());
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !isFile(info.dwFileAttributes)) {
    return Result::refused("not a regular file");
  }
  const uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (size > limit) return Result::refused("the file is larger than expected");
  // Read until the end, not to the size given: a file that grew since is caught too.
  std::vector<uint8_t> bytes;
  size_t got = 0;
  while (got <= limit) {
    bytes.resize(got + 65536);
    DWORD n = 0;
    if (!ReadFile(file.get(), bytes.data() + got, static_cast<DWORD>(bytes.size() - got), &n, nullptr)) {
      return Result::failed("cannot read the file", GetLastError());
    }
    if (n == 0) break;
    got += n;
  }
  if (got > limit) return Result::refused("the file is larger than expected");
  bytes.resize(got);
  out = std::move(bytes);
  return {};
}

}  // namespace zarvek
