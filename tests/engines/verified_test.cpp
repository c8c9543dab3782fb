// Verified files between two Zarvek ends: every packet checked over all its
// bytes, every file over its CRC-32, and one fault anywhere ends in an
// identical file or a reported one, never a silently wrong one.
#include <gtest/gtest.h>

#include "line_fixture.h"
#include "protocol/packet.h"

namespace zarvek::test {
namespace {

struct SingleFault {
  const char* what;
  FaultPlan packets, replies;
  bool verified;  // false: the file ends classic, as the two ends agreed
};

FaultPlan flip(uint64_t packet, uint64_t at, int bit) {
  FaultPlan plan;
  plan.flips.push_back({packet * kPacketSize + at, bit});
  return plan;
}
FaultPlan replace(uint64_t reply, uint8_t value) {
  FaultPlan plan;
  plan.replaces.push_back({reply, value});
  return plan;
}

TEST(VerifiedFaults, EachSingleFaultEndsIdenticalOrReportedNeverSilentlyWrong) {
  // Packets: FS 0, FN 1, FD 2-4, EF 5; replies in the same order.
  FaultPlan refusedThenTaken = flip(3, 20, 0);  // "N" to the second chunk...
  const SingleFault cases[] = {
      {"a high nibble of a data byte", flip(2, 100, 6), {}, true},
      {"a kind letter", flip(3, 0, 1), {}, true},
      {"the length field", flip(4, 3, 0), {}, true},
      {"the end's CRC-32", flip(5, 5, 3), {}, true},
      {"a garbled N: a chunk skipped", refusedThenTaken, replace(3, 'A'), true},  // ...taken for "A"
      {"an A turned into N: a chunk sent twice", {}, replace(2, 'N'), true},
      {"the offer's answer garbled", {}, replace(0, 'X'), false},
      {"the offer's answer turned into N", {}, replace(0, 'N'), true},
      {"the verdict garbled", {}, replace(5, 'X'), true},
  };
  for (const SingleFault& c : cases) {
    SCOPED_TRACE(c.what);
    Line line;
    line.verify = true;
    line.cable_.setFaults(Direction::AtoB, c.packets);
    line.cable_.setFaults(Direction::BtoA, c.replies);
    writeFile(line.source / "f.bin", randomBytes(3000, 7));
    line.startReceiver();
    line.send({"f.bin"});
    ASSERT_TRUE(line.received(1));
    line.stopReceiver();  // every report is in
    EXPECT_TRUE(readFile(line.target / "f.bin") == readFile(line.source / "f.bin")) << line.kinds();
    const auto sent = line.senderUi.reports();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].outcome, FileOutcome::Complete);
    EXPECT_EQ(sent[0].verified, c.verified);
    const auto got = line.receiverUi.reports();
    EXPECT_TRUE(got.back().outcome == FileOutcome::Complete && got.back().verified == c.verified) << int(got.back().outcome);
    // An attempt before the last was refused as not matching, or matched (its verdict lost).
    for (size_t i = 0; i + 1 < got.size(); ++i) {
      EXPECT_TRUE(got[i].outcome == FileOutcome::NotVerified || got[i].verified) << i;
    }
  }
}

}  // namespace
}  // namespace zarvek::test
