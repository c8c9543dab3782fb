#pragma once
// Path text as each platform writes it.
#include <string>

namespace zarvek {

// The separator that joins a folder and a name: '\' on Windows, '/' elsewhere.
extern const char kPathSeparator;

// Whether c separates folders on this platform ('\' and '/' on Windows).
bool isPathSeparator(char c);

// The part of a path after its last separator; the whole path if it has none.
std::string baseName(const std::string& path);

// Whether a file name opens a device rather than a file: on Windows CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with or without an extension;
// none on Linux.
bool isReservedDeviceName(const char* name);

// Whether this file system keeps a name as it is given. Windows drops a
// trailing dot or space and refuses < > " | ? *; Linux keeps every name that
// holds no '/'.
bool nameHeldAsGiven(const char* name);

}  // namespace zarvek
