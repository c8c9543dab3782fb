#pragma once
// What a verified file's "FN" says of the file beyond its base name: where it
// goes under the receive folder, its modification time, and whether the
// sender takes up what the receiver holds of it. docs/PROTOCOL.md has the
// bytes.
//
// The block follows the request's two copies and the streaming block's place
// (which it keeps free whether or not the sender asks to stream). It is sent
// twice: the first copy right there, the second ending where the payload
// ends, so a damaged length in one copy never hides the other. Each copy is
// sealed with a CRC-32 continued over the attempt's tag, so a copy left in
// the frame by an earlier "FN" never passes for this one. A classic receiver
// reads the name and never sees it.
#include <cstdint>
#include <optional>
#include <string>

namespace zarvek {

// The longest relative path that travels, in bytes of UTF-8.
inline constexpr int32_t kMaxWirePath = 255;

struct FileInfo {
  std::string path;      // relative, UTF-8, '/' between folders: 1..kMaxWirePath bytes
  int64_t modified = 0;  // seconds since 1970-01-01 UTC
  bool folder = false;   // a folder to make (size 0, no data): sent after what it holds
  bool fresh = false;    // the sender does not take up what the receiver holds: start over
};

// False (and nothing written) if the path is empty or too long for the frame.
bool putFileInfo(uint8_t* frame, const FileInfo& info, uint32_t tag);
std::optional<FileInfo> readFileInfo(const uint8_t* frame, uint32_t tag);

}  // namespace zarvek
