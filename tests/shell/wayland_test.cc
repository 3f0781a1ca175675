// The desktop entry as GNOME Shell uses it: the real shell, headless on
// Wayland with Xwayland, matches the real application's windows to the
// entry that the runner keeps. Each test runs inside
// `with_display --wayland=gnome-shell --xdg-tree`: a shell of its own that
// shares this process's throwaway XDG tree.
//
// The shell reads a new or removed entry only some seconds later, so the
// tests wait for what the shell does by polling it, within a bound.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app_instance.h"
#include "gnome_shell.h"

namespace {

using shell_test::AppInstance;
using shell_test::GnomeShell;
using shell_test::kShellBound;
using shell_test::ShellWindow;
using shell_test::within;

const std::string kDesktopId = std::string(APPLICATION_ID) + ".desktop";

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string user_entry() { return env("XDG_DATA_HOME") + "/applications/" + kDesktopId; }
std::string runtime_area() { return env("XDG_RUNTIME_DIR") + "/zemtra/" APPLICATION_ID; }
std::string icon_copy() { return runtime_area() + "/icon.png"; }

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string describe(const ShellWindow& w) {
  return "app " + w.app_id + " (" + w.app_name + ", icon " + w.app_icon + ", " +
         (w.window_backed ? "window-backed" : "from an entry") + "), " + w.client + " window, " +
         "WM class " + w.wm_class_instance + "/" + w.wm_class + ", GTK application " +
         w.gtk_application_id + (w.shown ? ", shown" : ", not shown");
}

bool ended_normally(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

class ShellOnWayland : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(env("WAYLAND_DISPLAY").empty()) << "not inside with_display --wayland=gnome-shell";
    ASSERT_TRUE(shell_.eval("true")) << shell_.error();
  }

  std::unique_ptr<AppInstance> start(const norvale_test::EnvChanges& changes = {}) {
    auto instance = std::make_unique<AppInstance>(
        NORVALE_RUNNER, changes, env("HOME") + "/instance-" + std::to_string(started_++));
    EXPECT_GT(instance->pid(), 0);
    return instance;
  }

  // The one shown window of `instance` as soon as the shell shows it.
  std::optional<ShellWindow> shown_window(AppInstance& instance) {
    if (!instance.wait_for("app-window-shown")) {
      ADD_FAILURE() << "the application did not show its window\n" << instance.err();
      return std::nullopt;
    }
    std::optional<ShellWindow> found;
    within(kShellBound, [&] {
      auto windows = shell_.windows_of(instance.pid());
      if (windows && windows->size() == 1 && windows->front().shown) found = windows->front();
      return found.has_value();
    });
    if (!found) ADD_FAILURE() << "the shell shows no window of the instance: " << shell_.error();
    return found;
  }

  // The window of `instance` once the shell matches it to the entry.
  std::optional<ShellWindow> matched_window(AppInstance& instance) {
    std::optional<ShellWindow> last;
    const bool matched = within(kShellBound, [&] {
      auto windows = shell_.windows_of(instance.pid());
      if (windows && windows->size() == 1) last = windows->front();
      return last && last->app_id == kDesktopId;
    });
    if (!matched) {
      ADD_FAILURE() << "not matched within " << kShellBound.count() << " s: "
                    << (last ? describe(*last) : "no window; " + shell_.error());
      return std::nullopt;
    }
    return last;
  }

  // What the entry gives the window: the template's name and the icon copy.
  static void expect_entry_match(const ShellWindow& w) {
    EXPECT_EQ(w.app_id, kDesktopId) << describe(w);
    EXPECT_FALSE(w.window_backed) << describe(w);
    EXPECT_EQ(w.app_name, APPLICATION_TITLE) << describe(w);
    EXPECT_EQ(w.app_icon, icon_copy()) << describe(w);
  }

  static void expect_window_backed(const ShellWindow& w) {
    EXPECT_TRUE(w.window_backed) << describe(w);
    EXPECT_EQ(w.app_id.rfind("window:", 0), 0u) << describe(w);
    EXPECT_EQ(w.app_icon, "") << describe(w);
  }

  GnomeShell shell_;
  int started_ = 0;
};

TEST_F(ShellOnWayland, FirstInstanceIsMatchedToTheEntryAndASecondAsSoonAsItsWindowIsThere) {
  auto first = start();
  auto window = shown_window(*first);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->client, "wayland");
  EXPECT_EQ(window->gtk_application_id, APPLICATION_ID);
  EXPECT_EQ(window->wm_class, APPLICATION_ID);
  ASSERT_TRUE(exists(user_entry()));
  auto matched = matched_window(*first);
  ASSERT_TRUE(matched);
  expect_entry_match(*matched);

  // The shell knows the entry now: the second window is its from the start.
  auto second = start();
  auto second_window = shown_window(*second);
  ASSERT_TRUE(second_window);
  expect_entry_match(*second_window);

  second->close_window();
  first->close_window();
  EXPECT_TRUE(ended_normally(second->wait())) << second->err();
  EXPECT_TRUE(ended_normally(first->wait())) << first->err();
  EXPECT_FALSE(exists(user_entry()));
}

TEST_F(ShellOnWayland, ThroughXwaylandTheWindowIsMatchedByItsWmClass) {
  ASSERT_FALSE(env("DISPLAY").empty()) << "the shell named no Xwayland display";
  auto instance = start({{"GDK_BACKEND", "x11"}});
  auto window = shown_window(*instance);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->client, "x11");
  // WM_CLASS is the program name and the program class, its capitalised form.
  EXPECT_EQ(window->wm_class_instance, APPLICATION_ID);
  std::string program_class = APPLICATION_ID;
  program_class[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(program_class[0])));
  EXPECT_EQ(window->wm_class, program_class);
  auto matched = matched_window(*instance);
  ASSERT_TRUE(matched);
  expect_entry_match(*matched);

  instance->close_window();
  EXPECT_TRUE(ended_normally(instance->wait())) << instance->err();
  EXPECT_FALSE(exists(user_entry()));
}

TEST_F(ShellOnWayland, SandboxedInstanceInstallsNothingAndItsWindowStaysWindowBacked) {
  auto instance = start({{"FLATPAK_ID", APPLICATION_ID}});
  auto window = shown_window(*instance);
  ASSERT_TRUE(window);
  EXPECT_FALSE(exists(user_entry()));
  EXPECT_FALSE(exists(runtime_area()));
  expect_window_backed(*window);

  // Once the shell has read an entry written after the window showed, it
  // would have read ours too, had there been one.
  ASSERT_TRUE(shell_test::shell_has_caught_up(shell_, env("XDG_DATA_HOME"))) << shell_.error();
  auto windows = shell_.windows_of(instance->pid());
  ASSERT_TRUE(windows && windows->size() == 1) << shell_.error();
  expect_window_backed(windows->front());
  EXPECT_FALSE(shell_.knows_app(kDesktopId).value_or(true));

  instance->close_window();
  EXPECT_TRUE(ended_normally(instance->wait())) << instance->err();
}

TEST_F(ShellOnWayland, AfterTheLastInstanceTheEntryIsGoneAndALaterInstanceIsMatchedAgain) {
  auto first = start();
  ASSERT_TRUE(shown_window(*first));
  ASSERT_TRUE(matched_window(*first));
  first->close_window();
  EXPECT_TRUE(ended_normally(first->wait())) << first->err();
  EXPECT_FALSE(exists(user_entry()));
  EXPECT_FALSE(exists(runtime_area()));
  EXPECT_TRUE(within(kShellBound, [&] { return shell_.knows_app(kDesktopId) == false; }))
      << "the shell still knows " << kDesktopId << " " << shell_.error();

  auto later = start();
  auto window = shown_window(*later);
  ASSERT_TRUE(window);
  auto matched = matched_window(*later);
  ASSERT_TRUE(matched);
  expect_entry_match(*matched);
  later->close_window();
  EXPECT_TRUE(ended_normally(later->wait())) << later->err();
}

}  // namespace
