#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/folders.h"
#include "base/paths.h"
#include "base/unique_fd_posix.h"

namespace zarvek {

namespace {

// An open folder's listing; closedir also closes the descriptor it was made from.
class FolderListing {
 public:
  explicit FolderListing(UniqueFd fd) : dir_(fd ? fdopendir(fd.get()) : nullptr) {
    if (dir_ != nullptr) fd.release();
  }
  ~FolderListing() {
    if (dir_ != nullptr) closedir(dir_);
  }
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  explicit operator bool() const { return dir_ != nullptr; }
  int fd() const { return dirfd(dir_); }

  // Every name but "." and "..", in byte order; false if reading stopped short.
  bool names(std::vector<std::string>& out) {
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir_);
      if (entry == nullptr) break;
      const std::string name = entry->d_name;
      if (name != "." && name != "..") out.push_back(name);
    }
    if (errno != 0) return false;
    std::sort(out.begin(), out.end());  // char_traits compares as unsigned bytes
    return true;
  }

 private:
  DIR* dir_;
};

// A folder inside `parent`, opened only if it is one itself: O_NOFOLLOW makes
// a link fail (ELOOP) rather than lead elsewhere.
UniqueFd openSubfolder(int parent, const std::string& name) {
  return UniqueFd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::string joined(const std::string& folder, const std::string& name) {
  if (!folder.empty() && isPathSeparator(folder.back())) return folder + name;
  return folder + kPathSeparator + name;
}

struct Walk {
  std::vector<TreeEntry> files;    // pre-order
  std::vector<TreeEntry> folders;  // post-order

  // False if the folder could not be read (nothing of it added).
  bool visit(FolderListing& listing, const std::string& path, const std::vector<std::string>& components) {
    std::vector<std::string> names;
    if (!listing.names(names)) return false;
    std::vector<std::string> subfolders;
    for (const std::string& name : names) {
      struct stat st {};
      std::vector<std::string> below = components;
      below.push_back(name);
      TreeEntry::Kind kind = TreeEntry::Kind::Skipped;
      if (fstatat(listing.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
          subfolders.push_back(name);
          continue;
        }
        if (S_ISREG(st.st_mode)) kind = TreeEntry::Kind::File;
      }
      files.push_back({kind, joined(path, name), std::move(below)});
    }
    for (const std::string& name : subfolders) {
      std::vector<std::string> below = components;
      below.push_back(name);
      FolderListing sub(openSubfolder(listing.fd(), name));
      const std::string subPath = joined(path, name);
      if (!sub || !visit(sub, subPath, below)) files.push_back({TreeEntry::Kind::Skipped, subPath, below});
    }
    folders.push_back({TreeEntry::Kind::Folder, path, components});
    return true;
  }
};

}  // namespace

Result listTree(const std::string& root, std::vector<TreeEntry>& out) {
  std::string trimmed = root;
  // "tree/" is listed as "tree", with "tree/a" below it.
  while (trimmed.size() > 1 && isPathSeparator(trimmed.back())) trimmed.pop_back();
  FolderListing listing(UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!listing) return Result::failed("cannot open the folder", static_cast<unsigned long>(errno));
  Walk walk;
  if (!walk.visit(listing, trimmed, {baseName(trimmed)})) {
    return Result::failed("cannot read the folder", static_cast<unsigned long>(errno));
  }
  out = std::move(walk.files);
  out.insert(out.end(), walk.folders.begin(), walk.folders.end());
  return {};
}

bool isRealFolder(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result makeFolders(const std::string& root, const std::vector<std::string>& components) {
  // Every name is checked before any folder is made: a refusal leaves nothing behind.
  for (const std::string& name : components) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      return Result::refused("not a folder name: " + name);
    }
  }
  UniqueFd folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return Result::failed("cannot open the receive folder", static_cast<unsigned long>(errno));
  // Each step is taken from the folder opened before it, never by a path
  // walked again: a link put in place meanwhile cannot redirect what follows.
  for (const std::string& name : components) {
    if (mkdirat(folder.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
      return Result::failed("cannot make the folder " + name, static_cast<unsigned long>(errno));
    }
    UniqueFd next = openSubfolder(folder.get(), name);
    if (!next) {
      if (errno == ELOOP || errno == ENOTDIR) return Result::refused("a link or a file is in the way: " + name);
      return Result::failed("cannot open the folder " + name, static_cast<unsigned long>(errno));
    }
    folder = std::move(next);
  }
  return {};
}

std::vector<std::string> filesStartingWith(const std::string& folder, const std::string& prefix) {
  FolderListing listing(UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  std::vector<std::string> names, found;
  if (!listing || !listing.names(names)) return found;
  for (const std::string& name : names) {
    struct stat st {};
    if (name.compare(0, prefix.size(), prefix) == 0 &&
        fstatat(listing.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      found.push_back(name);
    }
  }
  return found;
}

namespace {

Result writeAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result::failed("cannot write the file", static_cast<unsigned long>(errno));
    done += static_cast<size_t>(n);
  }
  return {};
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Result writeFileDurably(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string temp = path + ".tmp";
  {
    UniqueFd file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!file) return Result::failed("cannot create the file", static_cast<unsigned long>(errno));
    Result written = writeAll(file.get(), bytes);
    if (written && fsync(file.get()) != 0) written = Result::failed("cannot flush the file", errno);
    // close() reports a write-back error some file systems only find then.
    if (written && ::close(file.release()) != 0) written = Result::failed("cannot write the file", errno);
    if (!written) {
      ::unlink(temp.c_str());
      return written;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temp.c_str());
    return Result::failed("cannot put the file under its name", static_cast<unsigned long>(code));
  }
  // The rename lives in the folder: until the folder is flushed, a power loss
  // may bring back the old name, or no file at all.
  UniqueFd folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder || fsync(folder.get()) != 0) return Result::failed("cannot flush the folder", static_cast<unsigned long>(errno));
  return {};
}

Result readSmallFile(const std::string& path, size_t limit, std::vector<uint8_t>& out) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file) return Result::failed("cannot open the file", static_cast<unsigned long>(errno));
  struct stat st {};
  if (fstat(file.get(), &st) != 0) return Result::failed("cannot read the file's size", errno);
  if (!S_ISREG(st.st_mode)) return Result::refused("not a regular file");
  if (static_cast<uint64_t>(st.st_size) > limit) return Result::refused("the file is larger than expected");
  // Read until the end, not to the size fstat gave: a file that grew since is caught too.
  std::vector<uint8_t> bytes;
  size_t got = 0;
  while (got <= limit) {
    bytes.resize(got + 65536);
    const ssize_t n = ::read(file.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result::failed("cannot read the file", static_cast<unsigned long>(errno));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > limit) return Result::refused("the file is larger than expected");
  bytes.resize(got);
  out = std::move(bytes);
  return {};
}

}  // namespace zarvek
