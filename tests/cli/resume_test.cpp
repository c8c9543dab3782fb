// Verified files taken up where a cut left them, with the built command line
// at both ends of a virtual cable: the second send moves only the rest, and
// whatever happened to the source or to what the receiver kept, the file ends
// identical and is called verified only then.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "cable/cable.h"
#include "harness/process.h"
#include "receive/held_files.h"
#include "support/clean_run.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zarvek::harness::Process;

namespace zarvek::test {
namespace {

constexpr auto kGuard = std::chrono::seconds(120);
constexpr int64_t kTime = 1'600'000'000;  // the source's modification time, whole seconds

using harness::zarvekCommand;

void setTime(const fs::path& path, int64_t seconds) {
  fs::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds))));
}

int64_t timeOf(const fs::path& path) {
  const auto t = std::chrono::file_clock::to_sys(fs::last_write_time(path));
  return std::chrono::floor<std::chrono::seconds>(t).time_since_epoch().count();
}

// What the receive folder holds besides finished files.
std::vector<fs::path> keptState(const fs::path& folder) {
  std::vector<fs::path> kept;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().filename().string().starts_with(".zarvek-")) kept.push_back(e.path());
  }
  return kept;
}

fs::path keptWith(const fs::path& folder, const char* ending) {
  for (const fs::path& p : keptState(folder)) {
    if (p.string().ends_with(ending)) return p;
  }
  return {};
}

void flipByte(const fs::path& path, size_t at) {
  std::string bytes = readFile(path);
  bytes.at(at) ^= 0x20;
  writeFile(path, bytes);
}

class CliResume : public ::testing::Test {
 protected:
  explicit CliResume(int32_t baud = 921600) : cable_(CableConfig{baud, {}, {}, false}) {}

  std::unique_ptr<Process> startReceiver() {
    auto receiver = std::make_unique<Process>(
        zarvekCommand({"receive", "--port", cable_.endB(), "--speed", "921600", "--dir", inbox.str()}));
    EXPECT_TRUE(receiver->waitForOutput("receiving into", 30s)) << receiver->err();
    std::this_thread::sleep_for(300ms);  // its first wait starts just after it has said so
    return receiver;
  }
  std::vector<std::string> sendArgs() const {
    return zarvekCommand({"send", "--port", cable_.endA(), "--speed", "921600", file_.string()});
  }
  // Bytes the sender has put on the line since `from`.
  uint64_t sentSince(uint64_t from) const { return cable_.bytesIn(Direction::AtoB) - from; }

  void makeSource(size_t size, uint32_t seed) {
    file_ = outbox / "big.dat";
    writeFile(file_, randomBytes(size, seed));
    setTime(file_, kTime);
  }

  Cable cable_;
  TempDir outbox, inbox;
  fs::path file_;
};

enum class Cut { SenderStopped, ReceiverStopped, ReceiverKilled, CablePulled };
enum class Then { Same, SourceChanged, PartDamaged, RecordDamaged };

// Cut at half the file, each way a transfer is cut in use; then the same file
// again, as it was or with the source or the kept state changed. As it was:
// the second send moves at most 55 % of the file's bytes (counted on the
// cable, headers and all) and both ends say from where. Changed: the file goes
// whole. Either way it arrives identical with its time, and nothing of the
// kept state is left.
TEST_F(CliResume, EachCutIsTakenUpAndOnlyTheRestGoes) {
  const struct {
    Cut cut;
    Then then;
    const char* what;
  } cases[] = {
      {Cut::SenderStopped, Then::Same, "sender stopped"},
      {Cut::ReceiverStopped, Then::Same, "receiver stopped"},
      {Cut::ReceiverKilled, Then::Same, "receiver killed"},
      {Cut::CablePulled, Then::Same, "cable pulled"},
      {Cut::SenderStopped, Then::SourceChanged, "source changed, size and time kept"},
      {Cut::ReceiverStopped, Then::PartDamaged, "kept data damaged"},
      {Cut::SenderStopped, Then::RecordDamaged, "kept record damaged"},
  };
  uint32_t seed = 60;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Large enough that what a cut costs beyond half is small beside it; a
    // file that goes whole again is smaller, to save time.
    const size_t kSize = c.then == Then::Same ? 2u << 20 : 1u << 20;
    for (const fs::path& p : keptState(inbox.path())) fs::remove(p);
    fs::remove(inbox / "big.dat");
    makeSource(kSize, seed++);
    auto receiver = startReceiver();
    const uint64_t start = cable_.bytesIn(Direction::AtoB);
    auto sender = std::make_unique<Process>(sendArgs());
    ASSERT_TRUE(eventually([&] { return sentSince(start) >= kSize / 2 * 1030 / 1024; }, 60s));
    switch (c.cut) {
      case Cut::SenderStopped:
        sender->signal(SIGINT);
        break;
      case Cut::ReceiverStopped:
        receiver->signal(SIGINT);
        break;
      case Cut::ReceiverKilled:
        receiver->signal(SIGKILL);
        break;
      case Cut::CablePulled:
        cable_.unplug();
        std::this_thread::sleep_for(500ms);
        sender->signal(SIGINT);  // its user gives up
        break;
    }
    EXPECT_TRUE(sender->wait(kGuard).has_value());
    if (c.cut == Cut::ReceiverStopped || c.cut == Cut::ReceiverKilled) {
      sender->signal(SIGINT);
      EXPECT_TRUE(sender->wait(kGuard).has_value());
      EXPECT_TRUE(receiver->wait(kGuard).has_value());
      receiver = startReceiver();
    }
    if (c.cut == Cut::SenderStopped) {
      EXPECT_TRUE(receiver->waitForOutput("kept to take up", 30s)) << receiver->out();
    }
    if (c.cut == Cut::CablePulled) cable_.plugIn();
    ASSERT_FALSE(keptWith(inbox.path(), ".part").empty()) << "nothing kept of the cut file";
    EXPECT_FALSE(fs::exists(inbox / "big.dat")) << "a cut file shows under its name";

    const std::string source = readFile(file_);
    switch (c.then) {
      case Then::Same:
        break;
      case Then::SourceChanged:
        flipByte(file_, kSize / 8);
        setTime(file_, kTime);
        break;
      case Then::PartDamaged:
        flipByte(keptWith(inbox.path(), ".part"), 5000);
        break;
      case Then::RecordDamaged:
        flipByte(keptWith(inbox.path(), ".resume"), 20);
        break;
    }
    const uint64_t before = cable_.bytesIn(Direction::AtoB);
    const harness::Outcome second = harness::run(sendArgs(), {}, kGuard);
    const double moved = static_cast<double>(sentSince(before)) / kSize;
    std::printf("| %s | %.1f %% of the file moved again |\n", c.what, 100 * moved);
    EXPECT_EQ(second.code, 0) << second.out << second.err;
    EXPECT_TRUE(saidNothingWrong(second.err)) << second.err;
    ASSERT_TRUE(eventually([&] { return fs::exists(inbox / "big.dat"); }, 10s));
    EXPECT_TRUE(readFile(inbox / "big.dat") == readFile(file_)) << "not identical";
    EXPECT_EQ(timeOf(inbox / "big.dat"), kTime);
    const bool same = c.then == Then::Same;
    EXPECT_EQ(second.out.find("resumed at") != std::string::npos, same) << second.out;
    EXPECT_TRUE(same ? moved <= 0.55 : moved >= 1.0) << moved;
    receiver->signal(SIGINT);
    EXPECT_TRUE(receiver->wait(kGuard).has_value());
    EXPECT_EQ(receiver->out().find("resumed at") != std::string::npos, same) << receiver->out();
    EXPECT_TRUE(keptState(inbox.path()).empty()) << "kept state left after the file completed";
    static_cast<void>(source);
  }
}

// The receiver killed at 100 random moments of a streamed file, each time
// followed by a send that runs to the end. A kill keeps everything the process
// wrote (the kernel holds it), so it is a milder crash than a power loss; the
// loss is modelled on top: every byte of the kept data that the record does
// not vouch for is overwritten with garbage (unflushed pages can hold anything
// after a power loss), and every other time the record is rolled back to the
// one before it (its replacement may not have reached the disk). Data is
// flushed before a record names it and a record is replaced in one step, so
// that is all a power loss can do. Every following send must end identical,
// taken up or whole; none may be called verified otherwise.
class CliPowerLoss : public CliResume {
 protected:
  CliPowerLoss() : CliResume(4'000'000) {}  // a fast line, so a hundred transfers take minutes
};

TEST_F(CliPowerLoss, EveryResumeAfterACrashEndsIdentical) {
  constexpr size_t kSize = 256u << 10;
  constexpr int kKills = 100;
  const HeldFile id{"big.dat", kSize, kTime};
  std::mt19937 random(7);
  int takenUp = 0, whole = 0, rolledBack = 0;
  uint64_t keptBytes = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE(kill);
    for (const fs::path& p : keptState(inbox.path())) fs::remove(p);
    fs::remove(inbox / "big.dat");
    makeSource(kSize, 100 + kill);
    auto receiver = startReceiver();
    // The records as they change, for the roll-back.
    std::atomic<bool> watching{true};
    std::string lastRecord, recordBefore;
    std::thread watcher([&] {
      while (watching) {
        const fs::path record = keptWith(inbox.path(), ".resume");
        std::error_code error;
        if (!record.empty() && fs::file_size(record, error) > 0 && !error) {
          const std::string now = readFile(record);
          if (!now.empty() && now != lastRecord) recordBefore = lastRecord, lastRecord = now;
        }
        std::this_thread::sleep_for(5ms);
      }
    });
    Process sender(sendArgs());
    ASSERT_TRUE(sender.waitForOutput("sending ", 30s));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 700)(random)));
    receiver->signal(SIGKILL);
    EXPECT_TRUE(receiver->wait(kGuard).has_value());
    watching = false;
    watcher.join();
    sender.signal(SIGINT);
    EXPECT_TRUE(sender.wait(kGuard).has_value());
    if (fs::exists(inbox / "big.dat")) {  // the kill came after the file was complete
      EXPECT_TRUE(readFile(inbox / "big.dat") == readFile(file_));
      continue;
    }
    const fs::path part = keptWith(inbox.path(), ".part"), record = keptWith(inbox.path(), ".resume");
    if (kill % 2 == 1 && !record.empty() && !recordBefore.empty()) {
      writeFile(record, recordBefore);
      ++rolledBack;
    }
    const uint32_t vouched = HeldFiles(inbox.str()).held(id);
    if (!part.empty() && fs::file_size(part) == kSize) {
      std::string bytes = readFile(part);
      for (size_t i = vouched; i < bytes.size(); ++i) bytes[i] = static_cast<char>(random());
      writeFile(part, bytes);
    }
    keptBytes += vouched;

    receiver = startReceiver();
    const harness::Outcome resumed = harness::run(sendArgs(), {}, kGuard);
    EXPECT_EQ(resumed.code, 0) << resumed.out << resumed.err;
    EXPECT_NE(resumed.out.find("sent, verified"), std::string::npos) << resumed.out;
    (resumed.out.find("resumed at") != std::string::npos ? takenUp : whole) += 1;
    ASSERT_TRUE(eventually([&] { return fs::exists(inbox / "big.dat"); }, 10s));
    EXPECT_TRUE(readFile(inbox / "big.dat") == readFile(file_)) << "called verified, not identical";
    receiver->signal(SIGINT);
    EXPECT_TRUE(receiver->wait(kGuard).has_value());
    EXPECT_TRUE(keptState(inbox.path()).empty());
  }
  std::printf("| kills | taken up | sent whole | records rolled back | mean bytes vouched |\n|---:|---:|---:|---:|---:|\n");
  std::printf("| %d | %d | %d | %d | %llu |\n", kKills, takenUp, whole, rolledBack,
              static_cast<unsigned long long>(keptBytes / kKills));
  EXPECT_GT(takenUp, 0) << "no kill left anything to take up: the test cut nothing mid-file";
}

}  // namespace
}  // namespace zarvek::test
