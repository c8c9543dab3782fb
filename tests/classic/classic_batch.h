#pragma once
// The batch that every classic interoperability test carries, one file of each
// size around the chunk edges, and the checks that it came through whole.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cable/cable.h"
#include "engines/line_fixture.h"
#include "protocol/packet.h"
#include "support/classic_peer.h"
#include "support/temp_dir.h"

namespace zarvek::test {

inline constexpr size_t kClassicSizes[] = {0, 1, 1023, 1024, 1025, 3000, 100000};

// One file per size in `folder`, in the order of `sizes`.
inline std::vector<std::filesystem::path> writeClassicBatch(const std::filesystem::path& folder,
                                                            std::span<const size_t> sizes = kClassicSizes) {
  std::vector<std::filesystem::path> paths;
  uint32_t seed = 11;
  for (size_t size : sizes) {
    paths.push_back(folder / ("file" + std::to_string(size) + ".bin"));
    writeFile(paths.back(), randomBytes(size, seed++));
  }
  return paths;
}

// "EF" gets no reply: waits (up to a guard) until the classic receiver has
// handled the end of its `count`th file.
inline bool classicEnded(const ClassicReceiver& classic, size_t count) {
  const auto ended = [&] {
    const auto files = classic.files();
    return files.size() >= count && files[count - 1].ending != ClassicEnding::Open;
  };
  return eventually(ended, std::chrono::seconds(10));
}

// A far end's noise: a byte 1 ms after the first file's "EF" (its last byte) and
// 25 ms after the second's, on a line that carries files of these sizes.
inline FaultPlan noiseAfterEnds(std::span<const size_t> sizes) {
  FaultPlan plan;
  uint64_t packets = 0;
  for (int file = 0; file < 2; ++file) {
    packets += 3 + (sizes[file] + 1023) / 1024;
    plan.noises.push_back({packets * kPacketSize - 1, file == 0 ? 1 : 25, 0xF0});
  }
  return plan;
}

// The replies on the line and the classic side's trace, told when a check failed.
inline std::string classicEvidence(const Cable& cable, Direction back, const ClassicEnd& classic) {
  return "\nreplies: " + lineBytes(cable, back) + "\nclassic: " + classic.trace();
}

// A classic receiver ends a packet read at a silence of more than 20 ms between
// two bytes; checked on the line's own clock (when each byte was due), which
// only the writer's pauses move, not a relay held up on a loaded machine.
inline constexpr std::chrono::milliseconds kClassicReadGap{20};

inline void expectNoPauseInsidePackets(const Cable& cable, Direction direction) {
  const auto log = cable.log(direction);
  for (size_t at = 0; at + kPacketSize <= log.size(); at += kPacketSize) {
    for (size_t i = at + 1; i < at + kPacketSize; ++i) {
      const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(log[i].due - log[i - 1].due);
      if (pause <= kClassicReadGap) continue;
      ADD_FAILURE() << "packet " << at / kPacketSize << " ('" << log[at].value << log[at + 1].value << "') pauses "
                    << pause.count() << " ms after " << i - at << " bytes: a classic receiver would cut it short";
      break;
    }
  }
}

// A classic sender takes every byte that comes back for a reply: the line must
// carry exactly one per size, name and data packet, and none for noise.
inline void expectOneReplyPerAnsweredPacket(const Cable& cable, Direction back, const ClassicSender& classic) {
  std::istringstream words(classic.trace());
  size_t answered = 0;
  for (std::string w; words >> w;) answered += w.starts_with("FS") || w.starts_with("FN") || w.starts_with("FD");
  EXPECT_EQ(lineBytes(cable, back).size(), answered) << classicEvidence(cable, back, classic);
}

// The classic side began as many files as were sent, and each one is in `inbox`
// identical: a file that ended with "AF", was named, sized or written otherwise
// is not. `back` carries the replies.
inline void expectBatchArrived(const std::vector<std::filesystem::path>& sent, const std::filesystem::path& inbox,
                               const ClassicEnd& classicEnd, const Cable& cable, Direction back) {
  ASSERT_EQ(classicEnd.files().size(), sent.size()) << "the classic side recorded another number of files"
                                                    << classicEvidence(cable, back, classicEnd);
  for (const auto& file : sent) {
    const std::filesystem::path copy = inbox / file.filename();
    EXPECT_TRUE(std::filesystem::exists(copy) && readFile(copy) == readFile(file)) << copy << " did not arrive whole";
  }
  if (::testing::Test::HasFailure()) ADD_FAILURE() << classicEvidence(cable, back, classicEnd);
}

}  // namespace zarvek::test
