#pragma once
// The batch that every classic interoperability test carries, one file of each
// size around the chunk edges, and the checks that it came through whole.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cable/cable.h"
#include "protocol/packet.h"
#include "support/classic_peer.h"
#include "support/temp_dir.h"

namespace zarvek::test {

inline constexpr size_t kClassicSizes[] = {0, 1, 1023, 1024, 1025, 3000, 100000};

// One file per size in `folder`, in the order of kClassicSizes.
inline std::vector<std::filesystem::path> writeClassicBatch(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> paths;
  uint32_t seed = 11;
  for (size_t size : kClassicSizes) {
    paths.push_back(folder / ("file" + std::to_string(size) + ".bin"));
    writeFile(paths.back(), randomBytes(size, seed++));
  }
  return paths;
}

// "EF" gets no reply: waits (up to a guard) until the classic receiver has
// handled the end of its `count`th file.
inline bool classicEnded(const ClassicReceiver& classic, size_t count) {
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    const auto files = classic.files();
    if (files.size() >= count && files[count - 1].ending != ClassicEnding::Open) return true;
  }
  return false;
}

// A far end's noise: a byte 1 ms after the first file's "EF" (its last byte) and
// 25 ms after the second's, on a line that carries files of these sizes.
inline FaultPlan noiseAfterEnds(const size_t* sizes) {
  FaultPlan plan;
  uint64_t packets = 0;
  for (int file = 0; file < 2; ++file) {
    packets += 3 + (sizes[file] + 1023) / 1024;
    plan.noises.push_back({packets * kPacketSize - 1, file == 0 ? 1 : 25, 0xF0});
  }
  return plan;
}

inline std::string lineBytes(const Cable& cable, Direction direction) {
  std::string bytes;
  for (const auto& b : cable.log(direction)) bytes += static_cast<char>(b.value);
  return bytes;
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

// Size, name and data packets in a classic sender's trace: the ones the receiver answers.
inline size_t answeredKinds(const std::string& trace) {
  std::istringstream words(trace);
  size_t n = 0;
  for (std::string w; words >> w;) n += w.starts_with("FS") || w.starts_with("FN") || w.starts_with("FD");
  return n;
}

// Every file of the batch is in `inbox` identical, and the classic side saw each
// one end with "EF" after every byte.
// `evidence` (the line, the classic side's trace) is told once when a file failed.
inline void expectBatchArrived(const std::vector<std::filesystem::path>& sent, const std::filesystem::path& inbox,
                               const std::vector<ClassicFile>& classic, const std::string& evidence) {
  ASSERT_EQ(classic.size(), sent.size()) << "the classic side recorded another number of files" << evidence;
  for (size_t i = 0; i < sent.size(); ++i) {
    const std::string name = sent[i].filename().string();
    SCOPED_TRACE(name);
    const uint64_t size = std::filesystem::file_size(sent[i]);
    EXPECT_EQ(classic[i].name, name);
    EXPECT_EQ(classic[i].size, size);
    EXPECT_EQ(classic[i].bytes, size) << "bytes the classic side wrote or had accepted";
    EXPECT_EQ(classic[i].ending, ClassicEnding::EndOfFile);
    if (!std::filesystem::exists(inbox / name)) {
      ADD_FAILURE() << "did not arrive";
      continue;
    }
    EXPECT_TRUE(readFile(inbox / name) == readFile(sent[i])) << "arrived different";
  }
  if (::testing::Test::HasFailure()) ADD_FAILURE() << "what the line carried:" << evidence;
}

}  // namespace zarvek::test
