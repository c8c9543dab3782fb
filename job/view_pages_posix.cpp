#include <sys/mman.h>

#include "job/view_pages.h"

namespace zarvek {

void releaseViewBefore(const uint8_t* view, uint64_t& released, uint64_t offset) {
  constexpr uint64_t kStep = uint64_t{1} << 20;  // a whole number of pages
  const uint64_t upTo = offset / kStep * kStep;
  if (view == nullptr || upTo <= released) return;
  // On a shared file mapping the pages only leave this process; written data
  // stays in the page cache and reaches the file.
  madvise(const_cast<uint8_t*>(view) + released, upTo - released, MADV_DONTNEED);
  released = upTo;
}

}  // namespace zarvek
