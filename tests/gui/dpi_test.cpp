// zarvek.exe under Wine at 96, 144 and 192 DPI: the window and both dialogs are laid out
// for the DPI (not a 96-DPI window stretched, nor one left small), and every control's text
// fits what the control leaves for it, measured in the control's own font. The pictures at
// 144 DPI are the documentation's.
#include <gtest/gtest.h>

#include <map>

#include "app/resource.h"
#include "desk.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace zarvek::test {
namespace {

// Every text a control shows fits what the control leaves for it; the window is laid out
// for the DPI and as much larger than at 96 DPI, give or take the rounding of font sizes and
// the title bar, which grows less than the rest.
void expectLaidOut(const Window& w, int dpi, const Window& at96) {
  EXPECT_EQ(w.dpi, dpi) << w.title;
  for (const Control& c : w.controls) {
    if (c.text.empty() || c.textWidth < 0) continue;  // no text, or one it does not show (a list's items)
    EXPECT_TRUE(c.textWidth > 0 && c.textWidth <= c.roomWidth && c.textHeight <= c.roomHeight)
        << w.title << ": \"" << c.text << "\" measures " << c.textWidth << " x " << c.textHeight << " in "
        << c.roomWidth << " x " << c.roomHeight;
  }
  const double factor = dpi / 96.0;
  EXPECT_NEAR(double(w.right - w.left) / (at96.right - at96.left), factor, 0.12 * factor) << w.title;
  EXPECT_NEAR(double(w.bottom - w.top) / (at96.bottom - at96.top), factor, 0.12 * factor) << w.title;
}

TEST(ProgramWindows, SharpAndUnclippedAt96And144And192Dpi) {
  for (const char* exe : {"app/zarvek.exe", "tests/gui/zarvek-peek.exe"})
    if (!requireOrSkipWine(harness::windowsExe(exe))) GTEST_SKIP() << exe << " is not built";
  TempDir dir;
  Desk desk(ZARVEK_BINARY_DIR "/tests/gui/wineprefix-dpi", 1600, 1200);  // room for the dialogs at 192 DPI
  ASSERT_TRUE(desk.ok()) << "no Xvfb or no Wine prefix";
  std::map<std::string, Window> at96;
  for (const int dpi : {96, 144, 192}) {
    SCOPED_TRACE(std::to_string(dpi) + " DPI");
    ASSERT_TRUE(desk.setDpi(dpi));
    desk.start(dir.path(), {harness::windowsExe("app/zarvek.exe")});
    const Window main = desk.await([](const Window& w) { return w.title == "Zarvek"; });
    ASSERT_NE(main.handle, 0u) << "no window titled Zarvek";
    EXPECT_TRUE(dpi != 144 || desk.shot(main, "main-idle-144"));

    desk.input(main, {"key", "ctrl+c"});
    const Window setup = desk.await(main, "Communications Setup");
    EXPECT_TRUE(dpi != 144 || desk.shot(setup, "comm-setup-144"));
    desk.click(setup.id(IDC_COMM_OK));
    ASSERT_TRUE(desk.titled(setup, ""));
    desk.input(main, {"key", "alt+h", "a"});
    const Window about = desk.await(main, "About Zarvek");
    EXPECT_TRUE(dpi != 144 || desk.shot(about, "about-144"));
    desk.click(about.id(IDC_ABOUT_OK));
    ASSERT_TRUE(desk.titled(about, ""));

    for (const Window& w : {main, setup, about}) {
      ASSERT_NE(w.handle, 0u);
      expectLaidOut(w, dpi, at96.try_emplace(w.title, w).first->second);
    }
  }
}

}  // namespace
}  // namespace zarvek::test
