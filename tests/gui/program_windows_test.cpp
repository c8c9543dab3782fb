// The Windows program under Wine on Xvfb, driven through its menus, keys and
// dialogs. Two copies talk over the virtual cable: the receiver on COM1 (end A),
// the sender on COM2 (end B, the default port).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "app/resource.h"
#include "cable/cable.h"
#include "gui/gui_driver.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kIdle = "ZARVEK [IDLE]";
const std::string kSendMode = "ZARVEK [SEND MODE]";
const std::string kReceiveMode = "ZARVEK [RECEIVE MODE]";
const seconds kWindowLimit{30};  // Wine's first start of a prefix can be slow

fs::path windowsBuild() { return ZARVEK_WINDOWS_BUILD_DIR; }

// The file's kind letters, one per 1030-byte packet of the line log.
std::vector<std::string> packetKinds(const std::vector<LoggedByte>& log) {
  std::vector<std::string> kinds;
  for (size_t i = 0; i + 1030 <= log.size(); i += 1030)
    kinds.push_back(std::string{static_cast<char>(log[i].value), static_cast<char>(log[i + 1].value)});
  return kinds;
}

// The line speed the program set on a cable end, as Wine passed it to the tty.
speed_t lineSpeed(const std::string& end) {
  int fd = open(end.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return B0;
  termios t{};
  speed_t s = tcgetattr(fd, &t) == 0 ? cfgetospeed(&t) : B0;
  close(fd);
  return s;
}

class ProgramWindows : public ::testing::Test {
 protected:
  struct Instance {
    pid_t pid = -1;
    unsigned long main = 0;
    fs::path folder;
    fs::path log;
  };

  void SetUp() override {
    // With ZARVEK_REQUIRE_WINE set a missing program fails the test instead.
    for (const char* exe : {"app/zarvek.exe", "tests/gui/zarvek-peek.exe"})
      if (!requireOrSkipWine((windowsBuild() / exe).string())) GTEST_SKIP() << exe << " is not built";
    xvfb_ = std::make_unique<Xvfb>();
    ASSERT_TRUE(xvfb_->ok()) << "Xvfb did not start";
    desk_ = std::make_unique<WineDesk>(xvfb_->display());
    ASSERT_TRUE(desk_->ok()) << "the Wine prefix could not be made";
  }

  void TearDown() override {
    if (HasFailure() && xvfb_ && xvfb_->ok()) {  // the whole screen, to see what went wrong
      const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
      fs::path shot = fs::path(ZARVEK_BINARY_DIR) / "tests/gui/failures" /
                      (std::string(info->test_suite_name()) + "." + info->name() + ".png");
      fs::create_directories(shot.parent_path());
      capture("import -display " + xvfb_->display() + " -window root '" + shot.string() + "' 2>/dev/null");
      std::printf("screen at the failure: %s\n", shot.c_str());
    }
    desk_.reset();  // the programs go before their X server
    xvfb_.reset();
  }

  // Starts a copy of the program in its own folder and waits for its window.
  Instance launch(const std::string& name, const std::string& winedebug = "-all") {
    Instance in;
    in.folder = dir_ / name;
    fs::create_directories(in.folder);
    in.log = dir_ / (name + ".log");
    in.pid = desk_->startProgram(in.folder, in.log, winedebug);
    in.main = desk_->waitWindow(in.pid, "Zarvek", kWindowLimit);
    // Each copy opens at (200, 200); later ones are moved below the first.
    if (in.main && launched_++ > 0) desk_->move(in.main, 200, 200 + 240 * (launched_ - 1));
    return in;
  }

  unsigned long waitDialog(const Instance& in, const std::string& title) {
    return desk_->waitWindow(in.pid, title, kWindowLimit);
  }

  // Waits until the control's text is text; returns the last text seen.
  std::string waitText(unsigned long xid, int id, const std::string& text, seconds limit = seconds(5)) {
    std::string seen;
    auto deadline = Clock::now() + limit;
    do {
      const Control* c = desk_->peek(xid).byId(id);
      seen = c ? c->text : "<no control>";
      if (seen == text) break;
      std::this_thread::sleep_for(milliseconds(100));
    } while (Clock::now() < deadline);
    return seen;
  }

  bool waitGone(unsigned long xid, seconds limit = seconds(10)) {
    auto deadline = Clock::now() + limit;
    do {
      if (!desk_->peek(xid).exists) return true;
      std::this_thread::sleep_for(milliseconds(100));
    } while (Clock::now() < deadline);
    return false;
  }

  // The top-level windows the instance shows, by title.
  std::multiset<std::string> windowsOf(const Instance& in) {
    auto titles = desk_->titlesOf(in.pid);
    return {titles.begin(), titles.end()};
  }

  // Saves a screenshot under the build folder, and into docs/screenshots when
  // ZARVEK_UPDATE_SCREENSHOTS is set.
  void screenshot(unsigned long xid, const std::string& name) {
    fs::path shot = fs::path(ZARVEK_BINARY_DIR) / "tests/gui/screenshots" / (name + ".png");
    EXPECT_TRUE(desk_->screenshot(xid, shot)) << name;
    if (std::getenv("ZARVEK_UPDATE_SCREENSHOTS")) {
      fs::path docs = fs::path(ZARVEK_SOURCE_DIR) / "docs/screenshots";
      fs::create_directories(docs);
      fs::copy_file(shot, docs / (name + ".png"), fs::copy_options::overwrite_existing);
    }
  }

  // Communications Setup: chooses the port and the speed by their buttons and,
  // for a sender, the highest retry limit; closes with OK.
  void chooseSetup(const Instance& in, int portButton, int speedButton, bool mostRetries = false) {
    desk_->key(in.main, "ctrl+c");
    unsigned long dlg = waitDialog(in, "Communications Setup");
    ASSERT_NE(dlg, 0u);
    WindowView v = desk_->peek(dlg);
    desk_->clickControl(*v.byId(portButton));
    ASSERT_EQ(waitText(dlg, IDC_PORT_SHOWN, v.byId(portButton)->text), v.byId(portButton)->text);
    desk_->clickControl(*v.byId(speedButton));
    ASSERT_EQ(waitText(dlg, IDC_SPEED_SHOWN, v.byId(speedButton)->text), v.byId(speedButton)->text);
    if (mostRetries) {
      desk_->clickControl(*v.byId(IDC_RETRY_VALUE));
      desk_->key(dlg, "shift+Tab End");
      ASSERT_EQ(waitText(dlg, IDC_RETRY_VALUE, "20"), "20");
    }
    desk_->clickControl(*v.byId(IDC_COMM_OK));
    ASSERT_TRUE(waitGone(dlg));
  }

  // Send: picks the named files of the start folder in the file-open dialog.
  // The dialog opens in the folder last used in the prefix, so the user first
  // types the folder to go there, then the names.
  void sendFiles(const Instance& in, const std::string& names) {
    desk_->key(in.main, "ctrl+s");
    unsigned long dlg = waitDialog(in, "File(s) To Send");
    ASSERT_NE(dlg, 0u) << "no file-open dialog";
    std::string folder = "Z:" + in.folder.string();
    for (char& c : folder)
      if (c == '/') c = '\\';
    desk_->type(dlg, folder);
    desk_->key(dlg, "Return");
    const std::string shown = in.folder.filename().string();  // "Look in" names the folder
    auto deadline = Clock::now() + seconds(10);
    while (!desk_->peek(dlg).byText(shown) && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(100));
    ASSERT_NE(desk_->peek(dlg).byText(shown), nullptr) << "the dialog did not go to " << folder;
    desk_->key(dlg, "ctrl+a");
    desk_->type(dlg, names);
    desk_->key(dlg, "Return");
    ASSERT_TRUE(waitGone(dlg));
  }

  TempDir dir_;
  int launched_ = 0;
  std::unique_ptr<Xvfb> xvfb_;
  std::unique_ptr<WineDesk> desk_;
};

TEST_F(ProgramWindows, StartsIdleWithAbortGrayed) {
  Instance in = launch("a");
  ASSERT_NE(in.main, 0u) << "no window titled \"Zarvek\"";
  WindowView v = desk_->peek(in.main);
  EXPECT_EQ(v.cls, "Zarvek");
  EXPECT_EQ(v.right - v.left, 340);
  EXPECT_EQ(v.bottom - v.top, 120);
  EXPECT_EQ(v.byClass("Edit"), nullptr) << "no status field before a run";
  EXPECT_EQ(v.byClass("msctls_progress32"), nullptr);
  screenshot(in.main, "main-idle");

  // Abort is grayed at start: neither Esc nor Action > Abort brings the
  // window to Idle, which would retitle it. Comm Setup opening afterwards
  // shows the keys before it were handled.
  desk_->key(in.main, "Escape");
  desk_->key(in.main, "alt+a a");
  desk_->key(in.main, "ctrl+c");
  unsigned long dlg = waitDialog(in, "Communications Setup");
  ASSERT_NE(dlg, 0u);
  EXPECT_EQ(desk_->title(in.main), "Zarvek");
  desk_->clickControl(*desk_->peek(dlg).byId(IDC_COMM_OK));
  EXPECT_TRUE(waitGone(dlg));

  // The Action menu with its states, for the documentation.
  desk_->key(in.main, "alt+a");
  std::this_thread::sleep_for(milliseconds(500));
  fs::path shot = fs::path(ZARVEK_BINARY_DIR) / "tests/gui/screenshots/main-menu.png";
  capture("import -display " + xvfb_->display() + " -window root -crop 300x170+195+195 +repage '" +
          shot.string() + "'");
  if (std::getenv("ZARVEK_UPDATE_SCREENSHOTS"))
    fs::copy_file(shot, fs::path(ZARVEK_SOURCE_DIR) / "docs/screenshots/main-menu.png",
                  fs::copy_options::overwrite_existing);
  desk_->key(in.main, "Escape Escape");

  // Exit while Idle quits without asking.
  desk_->key(in.main, "ctrl+e");
  EXPECT_TRUE(desk_->waitExit(in.pid, seconds(10)));
}

TEST_F(ProgramWindows, CommunicationsSetupAppliesEachChoiceAtOnce) {
  Instance in = launch("a");
  ASSERT_NE(in.main, 0u);
  desk_->key(in.main, "ctrl+c");
  unsigned long dlg = waitDialog(in, "Communications Setup");
  ASSERT_NE(dlg, 0u);
  WindowView v = desk_->peek(dlg);
  ASSERT_NE(v.byId(IDC_RETRY_SLIDER), nullptr);
  EXPECT_EQ(v.byId(IDC_PORT_SHOWN)->text, "COM2");
  EXPECT_EQ(v.byId(IDC_SPEED_SHOWN)->text, "115200");
  EXPECT_EQ(v.byId(IDC_RETRY_SLIDER)->pos, 4);
  EXPECT_EQ(v.byId(IDC_RETRY_SLIDER)->min, 1);
  EXPECT_EQ(v.byId(IDC_RETRY_SLIDER)->max, 20);
  EXPECT_EQ(v.byId(IDC_RETRY_VALUE)->text, "4");
  screenshot(dlg, "comm-setup");

  struct Choice {
    int button;
    int label;
    const char* shown;
  };
  const Choice choices[] = {
      {IDC_PORT_COM3, IDC_PORT_SHOWN, "COM3"},     {IDC_PORT_COM1, IDC_PORT_SHOWN, "COM1"},
      {IDC_PORT_COM4, IDC_PORT_SHOWN, "COM4"},     {IDC_PORT_COM2, IDC_PORT_SHOWN, "COM2"},
      {IDC_SPEED_57600, IDC_SPEED_SHOWN, "57600"}, {IDC_SPEED_9600, IDC_SPEED_SHOWN, "9600"},
      {IDC_SPEED_19200, IDC_SPEED_SHOWN, "19200"}, {IDC_SPEED_115200, IDC_SPEED_SHOWN, "115200"},
      {IDC_PORT_COM3, IDC_PORT_SHOWN, "COM3"},     {IDC_SPEED_57600, IDC_SPEED_SHOWN, "57600"},
  };
  for (const auto& c : choices) {
    desk_->clickControl(*v.byId(c.button));
    EXPECT_EQ(waitText(dlg, c.label, c.shown), c.shown) << "after pressing " << c.shown;
  }

  // Esc and the close box leave the dialog open; a press afterwards still works.
  desk_->key(dlg, "Escape");
  desk_->click(v.right - 10, v.top + 10);
  desk_->key(dlg, "alt+F4");
  desk_->clickControl(*v.byId(IDC_PORT_COM4));
  EXPECT_EQ(waitText(dlg, IDC_PORT_SHOWN, "COM4"), "COM4");
  ASSERT_TRUE(desk_->peek(dlg).exists);

  // The slider runs from 1 to 20 and the box follows it.
  struct Slide {
    const char* keys;
    int pos;
  };
  const Slide slides[] = {{"Home", 1},  {"Left", 1},  {"Right", 2}, {"End", 20},
                          {"Right", 20}, {"Left", 19}, {"Home Right Right Right Right Right Right Right Right Right Right Right", 12}};
  // The box is read-only; from it, Shift+Tab goes back to the slider.
  desk_->clickControl(*v.byId(IDC_RETRY_VALUE));
  desk_->key(dlg, "shift+Tab");
  for (const auto& s : slides) {
    desk_->key(dlg, s.keys);
    std::string pos = std::to_string(s.pos);
    EXPECT_EQ(waitText(dlg, IDC_RETRY_VALUE, pos), pos) << "after " << s.keys;
    EXPECT_EQ(desk_->peek(dlg).byId(IDC_RETRY_SLIDER)->pos, s.pos) << "after " << s.keys;
  }

  // Enter closes it through the default OK button.
  desk_->key(dlg, "Return");
  EXPECT_TRUE(waitGone(dlg));

  // The next opening shows the values chosen.
  desk_->key(in.main, "ctrl+c");
  dlg = waitDialog(in, "Communications Setup");
  ASSERT_NE(dlg, 0u);
  v = desk_->peek(dlg);
  EXPECT_EQ(v.byId(IDC_PORT_SHOWN)->text, "COM4");
  EXPECT_EQ(v.byId(IDC_SPEED_SHOWN)->text, "57600");
  EXPECT_EQ(v.byId(IDC_RETRY_SLIDER)->pos, 12);
  EXPECT_EQ(v.byId(IDC_RETRY_VALUE)->text, "12");
  desk_->key(dlg, "Return");
  EXPECT_TRUE(waitGone(dlg));
}

TEST_F(ProgramWindows, AboutShowsItsTextsAndLogoAndClosesOnlyByOk) {
  Instance in = launch("a");
  ASSERT_NE(in.main, 0u);
  desk_->key(in.main, "alt+h a");
  unsigned long about = waitDialog(in, "About Zarvek");
  ASSERT_NE(about, 0u);
  WindowView v = desk_->peek(about);
  EXPECT_NE(v.byText("Version 3.12" + std::string(24, ' ') + "Zarvek (Serial Port File Copier)"), nullptr);
  ASSERT_NE(v.byId(IDC_ABOUT_OK), nullptr);
  EXPECT_EQ(v.byId(IDC_ABOUT_OK)->text, "&OK");
  const Control* logo = nullptr;
  for (const auto& c : v.controls)
    if (c.cls == "Static" && (c.style & 0x1F) == 0x0E) logo = &c;  // SS_BITMAP
  ASSERT_NE(logo, nullptr) << "no bitmap in the About box";
  screenshot(about, "about");
  // The logo: black capitals on a red ground, so the picture is mostly red.
  std::string colour = capture("import -display " + xvfb_->display() + " -window root -crop " +
                               std::to_string(logo->right - logo->left) + "x" + std::to_string(logo->bottom - logo->top) +
                               "+" + std::to_string(logo->left) + "+" + std::to_string(logo->top) +
                               " +repage -format '%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]' info: 2>/dev/null");
  double r = 0, g = 0, b = 0;
  ASSERT_EQ(std::sscanf(colour.c_str(), "%lf %lf %lf", &r, &g, &b), 3) << colour;
  EXPECT_GT(r, 0.4) << colour;
  EXPECT_LT(g, 0.25) << colour;
  EXPECT_LT(b, 0.25) << colour;

  // Esc, Enter (OK is not the default button), Alt+F4 and the close box leave it open.
  desk_->key(about, "Escape");
  desk_->key(about, "Return");
  desk_->key(about, "alt+F4");
  desk_->click(v.right - 10, v.top + 10);
  std::this_thread::sleep_for(milliseconds(800));
  EXPECT_TRUE(desk_->peek(about).exists);
  desk_->clickControl(*v.byId(IDC_ABOUT_OK));
  EXPECT_TRUE(waitGone(about));
  EXPECT_EQ(desk_->title(in.main), "Zarvek");
}

TEST_F(ProgramWindows, SendsThreeFilesToAReceiverOverTheCable) {
  CableConfig config;
  config.baud = 115200;  // a line's pace: each mode lasts long enough to watch
  config.keepLog = true;
  Cable cable(config);
  desk_->pointPort(1, cable.endA());
  desk_->pointPort(2, cable.endB());

  Instance receiver = launch("received");
  // The completion sound: Wine's trace of the multimedia calls shows the request.
  Instance sender = launch("send", "-all,trace+winmm");
  ASSERT_NE(receiver.main, 0u);
  ASSERT_NE(sender.main, 0u);
  const std::vector<std::pair<std::string, size_t>> files = {{"a.bin", 5000}, {"b.bin", 30000}, {"c.bin", 60000}};
  for (size_t i = 0; i < files.size(); ++i)
    writeFile(sender.folder / files[i].first, randomBytes(files[i].second, static_cast<uint32_t>(i + 1)));
  fs::copy_file(windowsBuild() / "app/complete.wav", sender.folder / "complete.wav");

  chooseSetup(receiver, IDC_PORT_COM1, IDC_SPEED_57600);
  // The most retries: on a busy machine a packet now and then meets the
  // receiver before its wait has begun, is cut short and refused once.
  chooseSetup(sender, IDC_PORT_COM2, IDC_SPEED_57600, true);

  // Receive first.
  desk_->key(receiver.main, "ctrl+r");
  ASSERT_TRUE(desk_->waitTitle(receiver.main, kReceiveMode, seconds(10)));
  const Control* status = desk_->peek(receiver.main).byClass("Edit");
  ASSERT_NE(status, nullptr);
  EXPECT_TRUE(status->visible);
  EXPECT_EQ(status->text, "");
  EXPECT_EQ(desk_->peek(receiver.main).byClass("msctls_progress32"), nullptr) << "the receiver has no bar";

  sendFiles(sender, "\"a.bin\" \"b.bin\" \"c.bin\"");
  ASSERT_TRUE(desk_->waitTitle(sender.main, kSendMode, seconds(10)));

  // Watch both windows until the sender is done.
  std::set<std::string> senderTexts, receiverTexts;
  long long mostSteps = 0;
  bool shotSending = false, shotReceiving = false, speedsSeen = false;
  auto deadline = Clock::now() + seconds(120);
  while (Clock::now() < deadline) {
    WindowView s = desk_->peek(sender.main);
    if (s.title == kIdle) break;
    WindowView r = desk_->peek(receiver.main);
    const Control* sText = s.byClass("Edit");
    const Control* bar = s.byClass("msctls_progress32");
    const Control* rText = r.byClass("Edit");
    if (sText && !sText->text.empty()) senderTexts.insert(sText->text);
    if (rText && !rText->text.empty()) receiverTexts.insert(rText->text);
    if (bar) {
      mostSteps = std::max(mostSteps, bar->pos);
      EXPECT_LE(bar->pos, bar->max);
      if (!shotSending && bar->pos > 2 && sText && !sText->text.empty()) {
        screenshot(sender.main, "main-sending");
        shotSending = true;
      }
    }
    if (!shotReceiving && rText && !rText->text.empty()) {
      // Kept only when the name still shows after the picture: between files
      // the field empties.
      std::this_thread::sleep_for(milliseconds(300));
      screenshot(receiver.main, "main-receiving");
      const Control* after = desk_->peek(receiver.main).byClass("Edit");
      shotReceiving = after && after->text == rText->text;
    }
    if (!speedsSeen) {
      EXPECT_EQ(lineSpeed(cable.endA()), static_cast<speed_t>(B57600)) << "receiver's port";
      EXPECT_EQ(lineSpeed(cable.endB()), static_cast<speed_t>(B57600)) << "sender's port";
      speedsSeen = true;
    }
    std::this_thread::sleep_for(milliseconds(400));
  }
  ASSERT_EQ(desk_->title(sender.main), kIdle) << "the send did not end";

  // Status texts: the sender shows full paths, the receiver the names.
  EXPECT_FALSE(senderTexts.empty());
  for (const auto& t : senderTexts) {
    bool known = false;
    for (const auto& f : files) known |= t.size() > f.first.size() && t.ends_with("\\" + f.first);
    EXPECT_TRUE(known) << "sender's status: " << t;
  }
  EXPECT_FALSE(receiverTexts.empty());
  for (const auto& t : receiverTexts)
    EXPECT_TRUE(t == "a.bin" || t == "b.bin" || t == "c.bin") << "receiver's status: " << t;
  EXPECT_GT(mostSteps, 2);

  // Back to Idle: no bar, the status field hidden.
  WindowView s = desk_->peek(sender.main);
  EXPECT_EQ(s.byClass("msctls_progress32"), nullptr);
  if (const Control* e = s.byClass("Edit")) {
    EXPECT_FALSE(e->visible);
  }

  // The files arrived whole; the receiver waits on until aborted.
  for (const auto& [name, size] : files) {
    auto until = Clock::now() + seconds(10);
    auto arrived = [&] {
      return fs::exists(receiver.folder / name) && readFile(receiver.folder / name) == readFile(sender.folder / name);
    };
    while (Clock::now() < until && !arrived()) std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(arrived()) << name << " did not arrive whole";
  }
  EXPECT_EQ(desk_->title(receiver.main), kReceiveMode);
  desk_->key(receiver.main, "Escape");
  EXPECT_TRUE(desk_->waitTitle(receiver.main, kIdle, seconds(10)));
  if (const Control* e = desk_->peek(receiver.main).byClass("Edit")) {
    EXPECT_FALSE(e->visible);
  }

  // On the line: each file announced, carried and closed, never abandoned;
  // a chunk refused ("N") goes again, so there may be more "FD" than chunks.
  auto line = cable.log(Direction::BtoA);
  auto kinds = packetKinds(line);
  auto count = [&](const char* k) { return std::count(kinds.begin(), kinds.end(), k); };
  size_t chunks = 0;
  for (const auto& f : files) chunks += (f.second + 1023) / 1024;
  EXPECT_EQ(count("FS"), 3);
  EXPECT_EQ(count("FN"), 3);
  EXPECT_EQ(count("EF"), 3);
  EXPECT_EQ(count("AF"), 0);
  EXPECT_GE(count("FD"), static_cast<long>(chunks));
  ASSERT_FALSE(kinds.empty());
  EXPECT_EQ(kinds.front(), "FS");
  EXPECT_EQ(kinds.back(), "EF");
  double secs = std::chrono::duration<double>(line.back().at - line.front().at).count();
  std::printf("[ figures  ] %zu packets (%zu chunks) in %.1f s on the line\n", kinds.size(), chunks, secs);

  // The completion sound was asked for by name.
  desk_->key(sender.main, "ctrl+e");
  EXPECT_TRUE(desk_->waitExit(sender.pid, seconds(10)));
  std::string log = readFile(sender.log);
  EXPECT_NE(log.find("complete.wav"), std::string::npos) << "no PlaySound of complete.wav in Wine's trace";
}

// A send that runs long enough to be interrupted: one file of 1 MB, about
// 90 s at 115200 bit/s.
class Interrupted : public ProgramWindows {
 protected:
  void start() {
    CableConfig config;
    config.baud = 115200;
    config.keepLog = true;
    cable_ = std::make_unique<Cable>(config);
    desk_->pointPort(1, cable_->endA());
    desk_->pointPort(2, cable_->endB());
    receiver_ = launch("received");
    sender_ = launch("send");
    ASSERT_NE(receiver_.main, 0u);
    ASSERT_NE(sender_.main, 0u);
    writeFile(sender_.folder / "big.bin", randomBytes(1024 * 1024, 7));
    chooseSetup(receiver_, IDC_PORT_COM1, IDC_SPEED_115200);
    chooseSetup(sender_, IDC_PORT_COM2, IDC_SPEED_115200, true);
    desk_->key(receiver_.main, "ctrl+r");
    ASSERT_TRUE(desk_->waitTitle(receiver_.main, kReceiveMode, seconds(10)));
    sendFiles(sender_, "big.bin");
    ASSERT_TRUE(desk_->waitTitle(sender_.main, kSendMode, seconds(10)));
    // Under way: the receiver has made the file and some chunks have gone.
    auto deadline = Clock::now() + seconds(30);
    while (Clock::now() < deadline) {
      const Control* bar = desk_->peek(sender_.main).byClass("msctls_progress32");
      if (bar && bar->pos >= 3 && fs::exists(receiver_.folder / "big.bin")) return;
      std::this_thread::sleep_for(milliseconds(100));
    }
    FAIL() << "the send did not get going";
  }

  long long steps() {
    const Control* bar = desk_->peek(sender_.main).byClass("msctls_progress32");
    return bar ? bar->pos : -1;
  }

  // The receiver deletes the file once "AF" has come down the line.
  void expectAbandoned() {
    auto deadline = Clock::now() + seconds(15);
    while (Clock::now() < deadline && fs::exists(receiver_.folder / "big.bin"))
      std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(fs::exists(receiver_.folder / "big.bin")) << "the receiver kept the abandoned file";
    auto kinds = packetKinds(cable_->log(Direction::BtoA));
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.back(), "AF");
    EXPECT_EQ(desk_->title(receiver_.main), kReceiveMode);
  }

  std::unique_ptr<Cable> cable_;
  Instance receiver_, sender_;
};

TEST_F(Interrupted, EscAbortsTheSendAndTheReceiverDeletesTheFile) {
  ASSERT_NO_FATAL_FAILURE(start());
  desk_->key(sender_.main, "Escape");
  EXPECT_TRUE(desk_->waitTitle(sender_.main, kIdle, seconds(5)));
  expectAbandoned();
}

TEST_F(Interrupted, GrayedCommandsDoNothingAndExitWhileSendingAsks) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Send, Receive, Comm Setup and Receive Folder, by key and by menu.
  desk_->key(sender_.main, "ctrl+s ctrl+r ctrl+c ctrl+f alt+a s alt+a r alt+s c alt+s r");
  // Exit asks; its question shows the keys before it were handled and did nothing.
  desk_->key(sender_.main, "ctrl+e");
  unsigned long ask = waitDialog(sender_, "Sending Data!");
  ASSERT_NE(ask, 0u);
  EXPECT_NE(desk_->peek(ask).byText("Data Transfer in Progress, Exit Zarvek?"), nullptr);
  EXPECT_EQ(windowsOf(sender_), (std::multiset<std::string>{kSendMode, "Sending Data!"}));

  // Cancel keeps the transfer.
  desk_->key(ask, "Escape");
  ASSERT_TRUE(waitGone(ask));
  long long before = steps();
  auto deadline = Clock::now() + seconds(15);
  while (Clock::now() < deadline && steps() <= before + 2) std::this_thread::sleep_for(milliseconds(100));
  EXPECT_GT(steps(), before + 2) << "the send stopped after Cancel";
  EXPECT_EQ(desk_->title(sender_.main), kSendMode);

  // OK stops it and quits.
  desk_->key(sender_.main, "ctrl+e");
  ask = waitDialog(sender_, "Sending Data!");
  ASSERT_NE(ask, 0u);
  desk_->key(ask, "Return");
  EXPECT_TRUE(desk_->waitExit(sender_.pid, seconds(10)));
  expectAbandoned();
}

TEST_F(ProgramWindows, GrayedCommandsDoNothingAndExitWhileReceivingQuits) {
  Cable cable;
  desk_->pointPort(2, cable.endB());
  Instance in = launch("received");
  ASSERT_NE(in.main, 0u);
  desk_->key(in.main, "ctrl+r");
  ASSERT_TRUE(desk_->waitTitle(in.main, kReceiveMode, seconds(10)));

  desk_->key(in.main, "ctrl+s ctrl+r ctrl+c ctrl+f alt+a s alt+a r alt+s c alt+s r");
  desk_->key(in.main, "ctrl+e");
  unsigned long ask = waitDialog(in, "Receive Mode");
  ASSERT_NE(ask, 0u);
  EXPECT_NE(desk_->peek(ask).byText("Still In Receive Mode, Exit Zarvek?"), nullptr);
  EXPECT_EQ(windowsOf(in), (std::multiset<std::string>{kReceiveMode, "Receive Mode"}));

  desk_->key(ask, "Escape");  // Cancel
  ASSERT_TRUE(waitGone(ask));
  EXPECT_EQ(desk_->title(in.main), kReceiveMode);

  desk_->key(in.main, "ctrl+e");
  ask = waitDialog(in, "Receive Mode");
  ASSERT_NE(ask, 0u);
  desk_->key(ask, "Return");
  EXPECT_TRUE(desk_->waitExit(in.pid, seconds(5)));
}

TEST_F(ProgramWindows, APortThatCannotBeOpenedShowsOneMessageThenIdle) {
  // A port no role can open: COM3 leads to a folder. (Under Wine a missing
  // device still opens for the receiver, which creates its port, and a second
  // opener is not refused, so neither stands in for a port in use.)
  fs::create_directories(dir_ / "not-a-device");
  desk_->pointPort(3, (dir_ / "not-a-device").string());
  Instance in = launch("a");
  ASSERT_NE(in.main, 0u);
  writeFile(in.folder / "x.bin", "x");
  chooseSetup(in, IDC_PORT_COM3, IDC_SPEED_115200);

  struct Role {
    const char* name;
    std::string mode;
  };
  for (const Role& role : {Role{"receive", kReceiveMode}, Role{"send", kSendMode}}) {
    SCOPED_TRACE(role.name);
    if (role.mode == kReceiveMode)
      desk_->key(in.main, "ctrl+r");
    else
      sendFiles(in, "x.bin");
    unsigned long box = waitDialog(in, "Whoopsy: COM port in use!");
    ASSERT_NE(box, 0u);
    EXPECT_NE(desk_->peek(box).byText("Select a different port."), nullptr);
    EXPECT_EQ(desk_->title(in.main), role.mode) << "the window waits for the message";
    desk_->key(box, "Return");
    EXPECT_TRUE(desk_->waitTitle(in.main, kIdle, seconds(5)));
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(windowsOf(in), std::multiset<std::string>{kIdle}) << "a second message or window";
  }
}

TEST_F(ProgramWindows, F1AndHelpContentsAskForTheHelpFileWhichTheViewerShows) {
  // Wine's trace of its help viewer shows each request the program makes.
  Instance in = launch("a", "-all,trace+winhelp");
  ASSERT_NE(in.main, 0u);
  ASSERT_TRUE(fs::exists(windowsBuild() / "app/zarvek.hlp"));
  fs::copy_file(windowsBuild() / "app/zarvek.hlp", in.folder / "zarvek.hlp");
  // HELP_FORCEFILE (9) with the start folder's zarvek.hlp, as the trace writes it.
  std::string expected = "cmd=9 data=00000000 fn=\"Z:";
  for (char c : (in.folder / "zarvek.hlp").string()) expected += c == '/' ? std::string("\\\\") : std::string(1, c);
  auto requests = [&] {
    std::string log = readFile(in.log);
    size_t n = 0;
    for (size_t at = log.find(expected); at != std::string::npos; at = log.find(expected, at + 1)) ++n;
    return n;
  };
  auto waitRequests = [&](size_t n) {
    auto deadline = Clock::now() + kWindowLimit;
    while (requests() < n && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(200));
    return requests();
  };
  desk_->key(in.main, "F1");
  EXPECT_EQ(waitRequests(1), 1u) << "F1 did not ask for " << expected;
  desk_->key(in.main, "alt+h c");
  EXPECT_EQ(waitRequests(2), 2u) << "Help > Contents did not ask for " << expected;

  // Wine's viewer leaves HELP_FORCEFILE unhandled, so it is shown the same file directly.
  pid_t viewer = desk_->startViewer((in.folder / "zarvek.hlp").string(), (dir_ / "viewer.log").string());
  unsigned long window = 0;
  auto deadline = Clock::now() + kWindowLimit;
  while (!window && Clock::now() < deadline) {
    std::string list = capture("DISPLAY=" + xvfb_->display() + " xdotool search --onlyvisible --pid " +
                               std::to_string(viewer) + " --name '^Zarvek Help' 2>/dev/null");
    window = std::strtoul(list.c_str(), nullptr, 10);
    if (!window) std::this_thread::sleep_for(milliseconds(200));
  }
  ASSERT_NE(window, 0u) << "the viewer shows no \"Zarvek Help\"";
  std::this_thread::sleep_for(milliseconds(800));  // the contents topic drawn
  screenshot(window, "help");
}

}  // namespace
}  // namespace zarvek::test
