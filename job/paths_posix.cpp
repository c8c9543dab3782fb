#include "job/paths.h"

namespace zarvek {

const char kPathSeparator = '/';

bool isPathSeparator(char c) { return c == '/'; }

}  // namespace zarvek
