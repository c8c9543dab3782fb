#include "job/send_list.h"

#include <optional>

#include "base/folders.h"
#include "base/wire_text.h"

namespace zarvek {

namespace {

// "" for each file added before the first folder: its base name, as before.
void pathsForEveryFile(TransferJob& job) { job.wirePaths.resize(job.files.size()); }

// Components as UTF-8 joined by '/'; nullopt if one is not text.
std::optional<std::string> wirePath(const std::vector<std::string>& components) {
  std::string joined;
  for (const std::string& component : components) {
    const std::optional<std::string> wire = toWireText(component);
    if (!wire) return std::nullopt;
    if (!joined.empty()) joined += '/';
    joined += *wire;
  }
  return joined;
}

}  // namespace

Result addToSendList(TransferJob& job, const std::string& path, std::vector<LeftOut>& leftOut) {
  std::vector<TreeEntry> tree;
  const Result listed = listTree(path, tree);
  // A file is no folder to list; a real folder that cannot be listed is the user's to hear of.
  if (!listed && !isRealFolder(path)) {
    job.files.push_back(path);
    if (!job.wirePaths.empty()) pathsForEveryFile(job);
    return {};
  }
  if (!listed) return listed;

  pathsForEveryFile(job);
  for (const TreeEntry& entry : tree) {
    if (entry.kind == TreeEntry::Kind::Skipped) {
      leftOut.push_back({entry.path, "a link, a device or a folder that cannot be read"});
      continue;
    }
    const std::optional<std::string> wire = wirePath(entry.components);
    if (!wire) {
      leftOut.push_back({entry.path, "its path is not text that can be written as UTF-8"});
      continue;
    }
    job.files.push_back(entry.path);
    job.wirePaths.push_back(entry.kind == TreeEntry::Kind::Folder ? *wire + "/" : *wire);
  }
  return {};
}

}  // namespace zarvek
