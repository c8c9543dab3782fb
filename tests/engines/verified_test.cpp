// Faults that once broke verified transfers, each over the virtual cable as the
// programs run: one bit that made a file arrive empty and be called complete, a
// verdict answered for a file that never arrived, two ends waiting for each
// other, a classic sender held by what its previous file contained. The full
// single-fault table runs on the simulated line (tests/reliability).
#include <gtest/gtest.h>

#include <cstring>

#include "line_fixture.h"
#include "protocol/packet.h"
#include "protocol/verified.h"
#include "support/classic_peer.h"

namespace zarvek::test {
namespace {

using namespace std::chrono_literals;

// Bit `bit` of byte `at` of the `packet`-th packet the sender writes.
FaultPlan flip(uint64_t packet, uint64_t at, int bit) {
  FaultPlan plan;
  plan.flips.push_back({packet * kPacketSize + at, bit});
  return plan;
}

// Sends the files (name, size) with the fault on the packets, and checks that
// every file arrived identical and both ends call it verified.
void expectVerifiedDespite(const FaultPlan& fault, const std::vector<std::pair<std::string, size_t>>& files) {
  Line line;
  line.verify = true;
  line.cable_.setFaults(Direction::AtoB, fault);
  std::vector<std::string> names;
  for (const auto& [name, size] : files) {
    writeFile(line.source / name, randomBytes(size, static_cast<uint32_t>(size + 1)));
    names.push_back(name);
  }
  line.startReceiver();
  line.send(names);  // a send that never ends fails here, after its guard
  ASSERT_TRUE(line.received(names.size())) << line.kinds();
  line.stopReceiver();
  for (const auto& name : names) {
    EXPECT_TRUE(readFile(line.target / name) == readFile(line.source / name)) << name << ": " << line.kinds();
  }
  std::map<std::string, FileReport> sent, got;
  for (const auto& r : line.senderUi.reports()) sent[std::filesystem::path(r.name).filename().string()] = r;
  for (const auto& r : line.receiverUi.reports()) got[r.name] = r;
  for (const auto& name : names) {
    EXPECT_TRUE(sent[name].outcome == FileOutcome::Complete && sent[name].verified) << name << " at the sender";
    EXPECT_TRUE(got[name].outcome == FileOutcome::Complete && got[name].verified) << name << " at the receiver";
  }
}

// "FS" read as "FR": answered as an unknown kind, the file was made at size 0,
// every chunk written nowhere, and both ends called it complete.
TEST(VerifiedRegressions, SizeKindLetterHitNeverLeavesAnEmptyFileCalledComplete) {
  expectVerifiedDespite(flip(0, 1, 0), {{"flipped.bin", 3000}});
}

// A verified file, then an empty one whose "FN" reads "FO": the receiver never
// made the file and answered its end with the previous file's verdict.
TEST(VerifiedRegressions, AVerdictAnswersOnlyItsOwnFile) {
  expectVerifiedDespite(flip(5, 1, 0), {{"first.bin", 1000}, {"empty.bin", 0}});
}

// The first file of a receive run with its "FN" kind letter hit: its chunks
// were refused as classic ones, and its "AF" waited for an answer for ever.
TEST(VerifiedRegressions, ADamagedNameOnTheFirstFileEndsWithTheFileDelivered) {
  expectVerifiedDespite(flip(1, 1, 0), {{"first.bin", 3000}, {"second.bin", 1500}});
}

// A classic sender builds each packet in one buffer, so its "FS" repeats the
// last chunk of the previous file from that chunk's 5th byte on. A file that
// holds an offer image there (another size than the next file's) had the
// receiver refuse every "FS" for as long as the sender tried.
TEST(VerifiedRegressions, AClassicSenderIsNotHeldByAnOfferInItsPreviousFile) {
  Line line;
  line.verify = true;
  std::string previous = randomBytes(1500, 9);
  uint8_t image[kPacketSize] = {};
  putOffer(image, 777);  // the next file is 1000 bytes
  std::memcpy(previous.data() + 1024 + 4, image + 8, 26);  // the last chunk, from its 5th byte
  writeFile(line.source / "capture.bin", previous);
  writeFile(line.source / "next.bin", randomBytes(1000, 10));
  line.startReceiver();
  ClassicSender classic(line.cable_.endA());
  classic.start({line.source / "capture.bin", line.source / "next.bin"});
  ASSERT_TRUE(classic.finish(60s)) << "the classic sender was held: " << classic.trace();
  ASSERT_TRUE(line.received(2));
  line.stopReceiver();
  for (const char* name : {"capture.bin", "next.bin"}) {
    EXPECT_TRUE(readFile(line.target / name) == readFile(line.source / name)) << name << ": " << classic.trace();
  }
}

}  // namespace
}  // namespace zarvek::test
