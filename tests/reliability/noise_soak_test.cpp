// Fifty files of mixed sizes over a line that flips bits at random (1e-5 per
// bit, both ways, fixed seeds). What the protocol can promise under noise:
// nothing hangs, an abandoned file leaves no partial copy, and a file the
// receiver calls complete differs from its source, if at all, only where the
// checksum cannot see: the high four bits of payload bytes. The counts of every
// outcome and of the resends are printed and recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "engines/line_fixture.h"

namespace fs = std::filesystem;

namespace zarvek::test {
namespace {

class NoiseSoak : public LineTest {};

// Whether every difference between two equal-length contents lies in bits 4-7.
bool onlyHighNibbles(const std::string& a, const std::string& b) {
  for (size_t i = 0; i < a.size(); ++i) {
    if (((a[i] ^ b[i]) & 0x0F) != 0) return false;
  }
  return true;
}

TEST_F(NoiseSoak, FiftyFilesEachArriveAreAbandonedOrAreCounted) {
  FaultPlan noise;
  noise.bitErrorRate = 1e-5;
  noise.seed = 20250611;
  cable_.setFaults(Direction::AtoB, noise);
  noise.seed += 1;
  cable_.setFaults(Direction::BtoA, noise);

  const size_t sizes[] = {0, 1, 333, 1024, 1025, 2048, 5000, 20000, 65536, 100000};
  std::vector<std::string> names;
  for (int i = 0; i < 50; ++i) {
    names.push_back("soak-" + std::to_string(i) + ".bin");
    writeFile(source / names.back(), randomBytes(sizes[i % 10], static_cast<uint32_t>(i)));
  }
  startReceiver();
  const SendBatchResult result = send(names);  // fails the test, not hangs, if it stalls
  // The receiver may still be taking the last file.
  eventually([&] { return receiverUi.reports().size() >= names.size(); }, std::chrono::seconds(3));
  stopReceiver();

  std::map<std::string, FileOutcome> sent, received;
  for (const auto& r : senderUi.reports()) sent[fs::path(r.name).filename().string()] = r.outcome;
  for (const auto& r : receiverUi.reports()) received[r.name] = r.outcome;

  int identical = 0, abandoned = 0, reportedIncomplete = 0, silentlyCorrupted = 0, lost = 0;
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const fs::path copy = target / name;
    const std::string original = readFile(source / name);
    if (sent[name] == FileOutcome::Abandoned) {
      ++abandoned;
      EXPECT_FALSE(fs::exists(copy)) << "an abandoned file's partial copy was left";
      continue;
    }
    if (!fs::exists(copy)) {
      ++lost;  // e.g. its "EF" flipped into "AF": the receiver deleted it
      continue;
    }
    const std::string arrived = readFile(copy);
    if (arrived == original) {
      ++identical;
    } else if (received.count(name) && received[name] == FileOutcome::Complete) {
      ++silentlyCorrupted;
      ASSERT_EQ(arrived.size(), original.size());
      EXPECT_TRUE(onlyHighNibbles(arrived, original)) << "a low-nibble error passed the checksum";
    } else {
      ++reportedIncomplete;
    }
  }
  const auto replies = this->replies();
  const auto resends = std::count(replies.begin(), replies.end(), 'N');
  // Names garbled in their high nibbles arrive under other names.
  int strays = 0;
  for (const auto& e : fs::directory_iterator(target.path())) {
    EXPECT_TRUE(e.is_regular_file()) << e.path();
    if (std::find(names.begin(), names.end(), e.path().filename().string()) == names.end()) ++strays;
  }
  std::printf("noise soak: %d identical, %d silently corrupted (high nibbles only), %d reported incomplete, "
              "%d abandoned and deleted, %d lost; %d under garbled names; %ld resends; %d consecutive N at the end\n",
              identical, silentlyCorrupted, reportedIncomplete, abandoned, lost, strays, static_cast<long>(resends),
              result.crcFailures);
  RecordProperty("identical", identical);
  RecordProperty("silently_corrupted", silentlyCorrupted);
  RecordProperty("resends", static_cast<int>(resends));
  EXPECT_EQ(identical + silentlyCorrupted + reportedIncomplete + abandoned + lost, 50);
  EXPECT_GT(resends, 0) << "the noise never reached a checksum: the soak tested nothing";
}

}  // namespace
}  // namespace zarvek::test
