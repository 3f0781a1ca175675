// The window under GNOME Shell as the X11 window manager: it is the shell
// for which the window takes a header bar. Runs inside
// `with_display --x11 --wm=gnome-shell --xdg-tree`: Xvfb with the real shell
// managing and compositing it.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app_instance.h"
#include "gnome_shell.h"
#include "runner_fixture.h"

namespace {

using shell_test::AppInstance;
using shell_test::GnomeShell;
using shell_test::kShellBound;
using shell_test::ShellWindow;

TEST(ShellOnX11, WindowHasAHeaderBarWithACloseButtonAndNoFrameFromTheShell) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  GnomeShell shell;
  ASSERT_TRUE(shell.eval("true")) << "not inside with_display --wm=gnome-shell: " << shell.error();

  AppInstance instance(NORVALE_RUNNER, {{"GDK_BACKEND", "x11"}}, std::string(home) + "/instance");
  ASSERT_TRUE(instance.wait_for("window-report-end")) << instance.err();
  const norvale_test::Trace trace = norvale_test::Trace::parse(instance.trace());
  EXPECT_EQ(trace.only("window-titlebar"),
            std::string("header-bar ") + APPLICATION_TITLE + " close-button TRUE");
  // The shell composites: the window gets the RGBA visual.
  EXPECT_EQ(trace.only("window-rgba-visual"), "TRUE");

  // The shell sees the header bar as the window's own decoration and adds
  // no title bar of its own.
  ASSERT_TRUE(instance.wait_for("app-window-shown")) << instance.err();
  std::optional<ShellWindow> window;
  shell_test::within(kShellBound, [&] {
    auto windows = shell.windows_of(instance.pid());
    if (windows && windows->size() == 1 && windows->front().shown) window = windows->front();
    return window.has_value();
  });
  ASSERT_TRUE(window) << "the shell shows no window of the instance: " << shell.error();
  EXPECT_EQ(window->client, "x11");
  EXPECT_EQ(window->wm_class_instance, APPLICATION_ID);
  EXPECT_FALSE(window->decorated);

  instance.close_window();
  const int status = instance.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << instance.err();
}

}  // namespace
