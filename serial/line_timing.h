#pragma once
// The port's timings, one set for every platform and the simulated line.
#include <chrono>

namespace zarvek::line_timing {

// How often a wait looks at `running`.
inline constexpr std::chrono::milliseconds kWaitSlice{5};
// The receiver's read time-outs: a packet read ends after this gap with no
// byte, or after this much per byte in all.
inline constexpr std::chrono::milliseconds kReadGap{20};
inline constexpr std::chrono::milliseconds kReadPerByte{10};
// The longest the receiver drops a damaged packet's tail before it answers.
inline constexpr std::chrono::milliseconds kDropLimit{2000};

}  // namespace zarvek::line_timing
