#pragma once
// What a user chose to send, turned into the job's list: a file as itself, a
// folder as everything in it, each with the path it takes at the receiver.
#include <string>
#include <vector>

#include "base/result.h"
#include "job/transfer_job.h"

namespace zarvek {

// Something under a chosen folder that does not go, and why: for the user.
struct LeftOut {
  std::string path;
  std::string why;
};

// Adds `path` to job.files. A file goes under its base name. A folder (or a
// link to one: the user named it) goes whole under its own name: each file in
// it, then each folder to make, deepest first, the chosen one last, with
// job.wirePaths made as long as job.files. Links, devices and unreadable
// folders inside it, and entries whose path is not UTF-8 text, go to
// `leftOut`. A path too long for the line is added all the same: the sender
// refuses it by name. Fails, adding nothing, if the folder cannot be read.
Result addToSendList(TransferJob& job, const std::string& path, std::vector<LeftOut>& leftOut);

}  // namespace zarvek
