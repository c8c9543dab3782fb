#pragma once
// The harness's cable end, by the name the engine tests know it.
#include "harness/cable_end.h"

namespace zarvek::test {
using TestPort = harness::CableEnd;
}  // namespace zarvek::test
