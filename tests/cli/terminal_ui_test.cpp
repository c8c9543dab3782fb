// The command line's words in-process: each file's result line, the sender's
// notice of a classic receiver, and the check of what was named to send.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/send_command.h"
#include "cli/terminal_ui.h"
#include "support/temp_dir.h"

namespace zarvek::cli {
namespace {

namespace fs = std::filesystem;

FileReport report(FileOutcome outcome, const std::string& name, uint64_t size, uint64_t written) {
  FileReport r;
  r.outcome = outcome;
  r.name = name;
  r.size = size;
  r.written = written;
  return r;
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// What resume, folders and file times add to the lines: where a file was taken up (in
// MiB, one decimal, below 1 MiB too), a folder without sizes, what the receiver kept of
// a verified file cut off, and a time this system could not set.
TEST(ResultLine, ResumedFoldersHeldAndTimes) {
  FileReport resumed = report(FileOutcome::Complete, "big.bin", 8u << 20, 8u << 20);
  resumed.verified = resumed.streamed = true;
  resumed.resumedAt = 3774874;  // 3.6 MiB
  FileReport early = resumed;
  early.resumedAt = 512 * 1024;
  FileReport whole = resumed;
  whole.resumedAt = 0;
  FileReport folder = report(FileOutcome::Complete, "tree/sub", 0, 0);
  folder.folder = folder.verified = true;
  FileReport held = report(FileOutcome::Held, "big.bin", 8u << 20, 2u << 20);
  FileReport untimed = whole;
  untimed.timeNotHeld = true;
  FileReport untimedFolder = folder;
  untimedFolder.timeNotHeld = true;
  const struct { Role role; FileReport report; std::string line; } cases[] = {
      {Role::Send, resumed, "big.bin  8388608 bytes  sent, verified, streamed, resumed at 3.6 MiB"},
      {Role::Receive, early, "big.bin  8388608 bytes  complete, verified, streamed, resumed at 0.5 MiB"},
      {Role::Receive, whole, "big.bin  8388608 bytes  complete, verified, streamed"},
      {Role::Receive, folder, "tree/sub  folder made"},
      {Role::Receive, held, "big.bin  8388608 bytes  interrupted: 2097152 bytes kept to take up when it is sent again"},
      {Role::Receive, untimed,
       "big.bin  8388608 bytes  complete, verified, streamed; its time left as now (this system cannot hold it)"},
      {Role::Receive, untimedFolder, "tree/sub  folder made; its time left as now (this system cannot hold it)"},
  };
  for (const auto& c : cases) EXPECT_EQ(TerminalUi::resultLine(c.role, c.report, 4), c.line);
}

// The sender says once a batch that a classic receiver flattens what it gets, on the
// first file it took so; a receiver that is Zarvek leaves standard error empty.
TEST(SenderNotice, ClassicReceiverToldOnceABatch) {
  for (const bool classic : {false, true}) {
    Terminal terminal(false, false, true);
    TerminalUi ui(terminal, Role::Send);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    for (const char* name : {"/a/tree/x", "/a/tree/y", "/a/tree/"}) {
      FileReport r = report(FileOutcome::Complete, name, 1, 1);
      r.underBaseName = classic;
      ui.fileEnded(r);
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(err, "The receiver is not a Zarvek end"), classic ? 1u : 0u) << err;
    EXPECT_EQ(count(out, "\n"), 3u) << out;
  }
}

// A folder named to send becomes its files and folders, each file checked as a file
// named alone is; a link in it is told, not sent; a missing file is told as typed.
TEST(SendCheck, FoldersExpandAndEveryFileInThemIsChecked) {
  test::TempDir dir;
  fs::create_directories(dir / "tree" / "sub");
  test::writeFile(dir / "tree" / "a.txt", "a");
  test::writeFile(dir / "tree" / "sub" / "b.txt", "b");
  std::error_code noLink;
  fs::create_symlink(dir / "tree" / "a.txt", dir / "tree" / "link", noLink);

  CheckedFiles good = checkFilesToSend({(dir / "tree").string()});
  EXPECT_TRUE(good.problems.empty()) << ::testing::PrintToString(good.problems);
  ASSERT_EQ(good.paths.size(), good.wirePaths.size());
  EXPECT_EQ(good.wirePaths, (std::vector<std::string>{"tree/a.txt", "tree/sub/b.txt", "tree/sub/", "tree/"}));
  if (!noLink) {
    ASSERT_EQ(good.leftOut.size(), 1u);
    EXPECT_EQ(good.leftOut[0].rfind((dir / "tree" / "link").string() + ": not sent: a link", 0), 0u) << good.leftOut[0];
  }

  const std::string longName = (dir / "tree" / "sub" / std::string(100, 'n')).string();
  test::writeFile(longName, "n");
  const CheckedFiles bad = checkFilesToSend({"missing.dat", (dir / "tree").string()});
  ASSERT_EQ(bad.problems.size(), 2u) << ::testing::PrintToString(bad.problems);
  EXPECT_EQ(bad.problems[0].rfind("missing.dat: cannot be sent: cannot open the file", 0), 0u) << bad.problems[0];
  EXPECT_EQ(bad.problems[1].rfind(longName + ": cannot be sent: its name is longer than 99 bytes", 0), 0u)
      << bad.problems[1];
}

}  // namespace
}  // namespace zarvek::cli
