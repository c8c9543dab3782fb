#include <cstring>

#include "base/system_text.h"

namespace zarvek {

std::string systemErrorText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

}  // namespace zarvek
