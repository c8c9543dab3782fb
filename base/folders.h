#pragma once
// Folders: walking the tree a user sends, and making the folders a received
// path needs without ever leaving the receive folder. One implementation per
// platform.
#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"

namespace zarvek {

// One thing found under a folder that is sent.
struct TreeEntry {
  enum class Kind { File, Folder, Skipped };
  Kind kind;
  std::string path;                     // as the platform writes it: root + separator + ...
  std::vector<std::string> components;  // from the root folder's own name down to this entry
};

// Everything under `root` (a folder): first each file, in name order, a
// folder's files before its subfolders' (pre-order); then each folder,
// deepest first, `root` itself last (post-order: a folder's time is set after
// everything in it has arrived). Links (symlinks, junctions, reparse points)
// and anything that is neither a file nor a folder come as Skipped and are not
// followed. Fails if `root` cannot be read; an unreadable subfolder is Skipped.
Result listTree(const std::string& root, std::vector<TreeEntry>& out);

// Whether `path` is a folder itself, not a link to one.
bool isRealFolder(const std::string& path);

// Makes root/components[0]/.../components[n-1] as folders, each one that
// exists checked to be a real folder (not a link, junction or file), so that
// nothing made below it can land outside `root`. `root` itself must exist.
Result makeFolders(const std::string& root, const std::vector<std::string>& components);

// Names (not paths) of the entries of `folder` that begin with `prefix` and
// are regular files, not links; empty when the folder cannot be read.
std::vector<std::string> filesStartingWith(const std::string& folder, const std::string& prefix);

// Writes `bytes` to `path` so that after a crash or a power loss `path` holds
// either its old content or all of the new: a temporary file beside it,
// written, flushed to disk, then renamed over `path` (and, on Linux, the
// folder flushed too).
Result writeFileDurably(const std::string& path, const std::vector<uint8_t>& bytes);

// The whole content of a regular file (not a link) of at most `limit` bytes.
Result readSmallFile(const std::string& path, size_t limit, std::vector<uint8_t>& out);

}  // namespace zarvek
