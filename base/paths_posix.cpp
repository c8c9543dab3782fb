#include "base/paths.h"

namespace zarvek {

const char kPathSeparator = '/';

bool isPathSeparator(char c) { return c == '/'; }

bool isReservedDeviceName(const char*) { return false; }

bool nameHeldAsGiven(const char*) { return true; }

}  // namespace zarvek
