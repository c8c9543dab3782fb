#pragma once
// What the multi-select file-open dialog hands back for Send, turned into the
// list of files the sender takes.
#include <cstdint>
#include <string>
#include <vector>

namespace zarvek {

// The dialog's buffer: 25,600 bytes, as the classic program gives it.
inline constexpr int32_t kSelectionSize = 25600;

// The full path of each chosen file, in order. `selection` holds one full path
// ("C:\dir\a.txt\0\0", firstName just past its last backslash) or a folder and
// the names chosen in it ("C:\dir\0a.txt\0b.txt\0\0", firstName at the first
// name). The folder is the leading item, but no longer than firstName - 1
// characters; a backslash joins it to each name unless it ends with one (a
// drive's root). Never reads past `size` bytes; an unterminated name ends the list.
std::vector<std::string> selectedPaths(const char* selection, int32_t size, int32_t firstName);

}  // namespace zarvek
