#include "send/source_file.h"

#include "job/view_pages.h"

#include "protocol/diagnostic.h"

namespace zarvek {

int SourceFile::fail(Step step, unsigned long code) {
  failedStep_ = step;
  errorCode_ = code;
  writeErrorCode(code);
  return 0;
}

void SourceFile::releaseBefore(uint64_t offset) { releaseViewBefore(view_, released_, offset); }

}  // namespace zarvek
