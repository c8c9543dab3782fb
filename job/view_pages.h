#pragma once
// Giving back the pages of a mapped file view that will not be touched again.
#include <cstdint>

namespace zarvek {

// Releases the whole mebibytes of the view before `offset` that are not
// released yet (`released` keeps track). Reading or writing them later still
// works: a shared file mapping keeps its content in the file.
void releaseViewBefore(const uint8_t* view, uint64_t& released, uint64_t offset);

}  // namespace zarvek
