#pragma once
// Relative paths a hostile sender may put in a verified name, and what each
// platform's receiver makes of them: refused for the reason given, or (None)
// taken as an ordinary file under the receive folder, since that platform
// holds the name as given.
#include <string>
#include <vector>

#include "job/file_report.h"

namespace zarvek::test {

inline bool testedOnWindows() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

struct HostilePath {
  enum class Plant { Nothing, LinkOut, FileBlocker };
  std::string path;  // as it travels
  FileProblem onLinux;
  FileProblem onWindows;
  // What stands in the receive folder first: "out", a link to a folder outside
  // it, or "blocker", a file.
  Plant plant = Plant::Nothing;

  FileProblem expected() const { return testedOnWindows() ? onWindows : onLinux; }
};

// `folderLength`: the receive folder's, so that one path fits the line yet
// passes 255 bytes once joined with the folder.
inline std::vector<HostilePath> hostilePaths(size_t folderLength) {
  using P = FileProblem;
  std::string longPath;
  while (longPath.size() < 260 - folderLength) longPath += longPath.size() % 60 == 59 ? '/' : 'p';
  if (longPath.back() == '/') longPath += 'p';
  std::string deep = "d";
  for (int i = 1; i < 33; ++i) deep += "/d";
  return {
      {"..", P::PathNotRelative, P::PathNotRelative},
      {"../x", P::PathNotRelative, P::PathNotRelative},
      {"a/../../x", P::PathNotRelative, P::PathNotRelative},
      {"./a", P::PathNotRelative, P::PathNotRelative},
      {"a//b", P::PathNotRelative, P::PathNotRelative},
      {"a/", P::PathNotRelative, P::PathNotRelative},
      {"/etc/x", P::PathNotRelative, P::PathNotRelative},
      {"\\\\server\\x", P::PathNotRelative, P::PathNotRelative},
      {deep, P::PathNotRelative, P::PathNotRelative},  // 33 parts
      {"C:x", P::NameWithDriveColon, P::NameWithDriveColon},
      {"c:/x", P::NameWithDriveColon, P::NameWithDriveColon},
      {"a:b", P::NameWithDriveColon, P::NameWithDriveColon},
      {"a\\b", P::NameWithPathSeparator, P::NameWithPathSeparator},
      {std::string("a\0b", 3), P::NameWithControlCharacter, P::NameWithControlCharacter},
      {"a/b\x1b", P::NameWithControlCharacter, P::NameWithControlCharacter},
      {"\xC0\xAE\xC0\xAE/x", P::PathNotText, P::PathNotText},  // ".." written overlong
      {"a/\xED\xA0\x80.txt", P::PathNotText, P::PathNotText},  // a lone surrogate
      {longPath, P::PathTooLong, P::PathTooLong},
      {"out/x", P::FolderInTheWay, P::FolderInTheWay, HostilePath::Plant::LinkOut},
      {"blocker/x", P::FolderInTheWay, P::FolderInTheWay, HostilePath::Plant::FileBlocker},
      {"CON", P::None, P::NameReserved},
      {"a/NUL.txt", P::None, P::NameReserved},
      {"b/com1.log", P::None, P::NameReserved},
      {"trail.", P::None, P::NameNotHeldHere},
      {"trail ", P::None, P::NameNotHeldHere},
      {"c/q<", P::None, P::NameNotHeldHere},
      {"q>", P::None, P::NameNotHeldHere},
      {"q|", P::None, P::NameNotHeldHere},
      {"q?", P::None, P::NameNotHeldHere},
      {"q*", P::None, P::NameNotHeldHere},
      {"q\"", P::None, P::NameNotHeldHere},
  };
}

}  // namespace zarvek::test
