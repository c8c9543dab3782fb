#pragma once
// The command's exit codes, listed in --help and the README. A script can tell
// these outcomes apart without reading the output.

namespace zarvek::cli {

inline constexpr int kExitSuccess = 0;      // every file sent / received complete
inline constexpr int kExitFileFailed = 1;   // a file abandoned, skipped, refused or incomplete
inline constexpr int kExitBadArguments = 2; // the command line or a named file is wrong
inline constexpr int kExitPortError = 3;    // the port could not be opened
inline constexpr int kExitInterrupted = 130;  // Ctrl+C stopped a transfer part-way

inline constexpr const char kExitCodesHelp[] =
    "Exit codes:\n"
    "  0    every file sent or received complete\n"
    "  1    a file was abandoned after the retry limit, skipped, refused or arrived incomplete\n"
    "  2    bad arguments (also a file to send that is missing or unreadable)\n"
    "  3    the port could not be opened (absent, busy or not permitted)\n"
    "  130  interrupted (Ctrl+C) in the middle of a file, or before every file was sent;\n"
    "       a receive stopped between files ends with 0 (or 1 if a file failed)\n";

}  // namespace zarvek::cli
