#include "send/source_file.h"

#include "protocol/diagnostic.h"

namespace zarvek {

int SourceFile::fail(Step step, unsigned long code) {
  failedStep_ = step;
  errorCode_ = code;
  writeErrorCode(code);
  return 0;
}

}  // namespace zarvek
