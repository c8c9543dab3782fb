#include "base/mapped_file.h"

namespace zarvek {

Result MappedFile::fail(Step step, const char* what, unsigned long code) {
  failedStep_ = step;
  return Result::failed(what, code);
}

}  // namespace zarvek
