// The main window and the Flutter view, built by the real runner under real
// display servers: title mode, window state, visual, plugin registration,
// and one window per start.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "runner_fixture.h"
#include "scenario.h"

namespace {

using namespace norvale_test;

struct DisplayCase {
  const char* name;
  std::vector<std::string> display;
  bool header_bar;
  bool rgba_visual;
};

void PrintTo(const DisplayCase& c, std::ostream* os) { *os << c.name; }

const std::vector<DisplayCase> kDisplays = {
    {"x11_without_window_manager", {}, false, false},
    {"x11_openbox", {"--wm=openbox"}, false, false},
    {"x11_openbox_composited", {"--wm=openbox", "--compositor"}, false, true},
    // A window manager that only takes GNOME Shell's name, for what the
    // real shell cannot show: a screen that it does not composite. The real
    // shell under X11 is in tests/shell.
    {"x11_gnome_shell", {"--wm-name=GNOME Shell"}, true, false},
    {"x11_gnome_shell_other_spelling", {"--wm-name=gnome shell"}, false, false},
    {"wayland_weston_headless", {"--wayland"}, true, true},
};

class MainWindow : public testing::TestWithParam<DisplayCase> {};

TEST_P(MainWindow, IsRealizedSizedAndTitledButNotShownWithTheViewAsOnlyFocusedChild) {
  const DisplayCase& c = GetParam();
  RunnerRun run = run_runner(RunnerOptions().display(c.display));
  ASSERT_EQ(run.result.exit_code(), 0) << run.result.err;
  EXPECT_EQ(unexpected_stderr(run.result.err), "");
  const Trace& trace = run.trace;

  EXPECT_EQ(trace.only("window-realized"), "TRUE");
  EXPECT_EQ(trace.only("window-visible"), "FALSE");
  EXPECT_EQ(trace.only("window-mapped"), "FALSE");
  EXPECT_EQ(trace.only("window-default-size"), "1280 720");
  EXPECT_EQ(trace.only("window-title"), NORVALE_APPLICATION_TITLE);
  if (c.header_bar) {
    EXPECT_EQ(trace.only("window-titlebar"),
              std::string("header-bar ") + NORVALE_APPLICATION_TITLE + " close-button TRUE");
  } else {
    EXPECT_EQ(trace.only("window-titlebar"), "NULL");
  }
  EXPECT_EQ(trace.only("window-rgba-visual"), c.rgba_visual ? "TRUE" : "FALSE");
  EXPECT_EQ(trace.only("window-children"), "1 view");
  EXPECT_EQ(trace.only("window-focus"), "view");
  EXPECT_EQ(trace.only("background-color"), "0 0 0 0");
  EXPECT_EQ(trace.only("window-close"), "");
}

INSTANTIATE_TEST_SUITE_P(Displays, MainWindow, testing::ValuesIn(kDisplays),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The keys of the activation's events, in the order they happened.
std::vector<std::string> event_keys(const Trace& trace) {
  std::vector<std::string> keys;
  for (const TraceLine& line : trace.lines()) {
    if (line.key.rfind("window-", 0) != 0 && line.key.rfind("registrar-", 0) != 0 &&
        line.key != "plugin-registered") {
      keys.push_back(line.key);
    }
  }
  return keys;
}

TEST(Activation, BuildsProjectAndViewInOrderAndFocusesTheViewLast) {
  RunnerRun run = run_runner();
  ASSERT_EQ(run.result.exit_code(), 0) << run.result.err;
  EXPECT_EQ(event_keys(run.trace),
            (std::vector<std::string>{"project-new", "dart-entrypoint-arguments", "view-new",
                                      "background-color", "view-realize", "view-grab-focus"}));
  // The plugins are registered with the realized view, before it gets the focus.
  int last_registration = -1;
  for (size_t i = 0; i < run.trace.lines().size(); ++i) {
    if (run.trace.lines()[i].key == "plugin-registered") last_registration = static_cast<int>(i);
  }
  EXPECT_LT(run.trace.index_of("view-realize"), run.trace.index_of("registrar-requested"));
  EXPECT_LT(last_registration, run.trace.index_of("view-grab-focus"));
}

struct Plugin {
  std::string registrar;
  std::string register_function;
};

const std::vector<Plugin> kPlugins = {
    {"AudioplayersLinuxPlugin", "audioplayers_linux_plugin_register_with_registrar"},
    {"PasteboardPlugin", "pasteboard_plugin_register_with_registrar"},
    {"ScreenRetrieverLinuxPlugin", "screen_retriever_linux_plugin_register_with_registrar"},
    {"KestruneLinuxPlugin", "kestrune_linux_plugin_register_with_registrar"},
    {"UrlLauncherPlugin", "url_launcher_plugin_register_with_registrar"},
    {"WindowManagerPlugin", "window_manager_plugin_register_with_registrar"},
};

TEST(PluginRegistrant, HandsEachPluginItsRegistrarAndReleasesAllInReverseAfterTheLast) {
  RunnerRun run = run_runner();
  ASSERT_EQ(run.result.exit_code(), 0) << run.result.err;
  // What should happen, with the registrars named by the address the
  // embedding reported when handing each out.
  std::map<std::string, std::string> address_of;
  for (const auto& values : run.trace.all("registrar-requested")) {
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(address_of.count(values[0]), 0u) << values[0] << " requested twice";
    address_of[values[0]] = values[1];
  }
  std::vector<std::string> expected;
  for (const Plugin& p : kPlugins) {
    expected.push_back("registrar-requested " + p.registrar + " " + address_of[p.registrar]);
    expected.push_back("plugin-registered " + p.register_function + " " + address_of[p.registrar]);
  }
  for (auto p = kPlugins.rbegin(); p != kPlugins.rend(); ++p) {
    expected.push_back("registrar-released " + p->registrar + " " + address_of[p->registrar]);
  }
  std::vector<std::string> actual;
  for (const TraceLine& line : run.trace.lines()) {
    if (line.key == "registrar-requested" || line.key == "plugin-registered" ||
        line.key == "registrar-released") {
      std::string text = line.key;
      for (const std::string& v : line.values) text += " " + v;
      actual.push_back(text);
    }
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(address_of.size(), kPlugins.size());
}

// Inside with_display (and its private session bus): a first runner keeps
// its window while a second one starts, runs and ends; then the first
// closes its window.
NORVALE_SCENARIO(two_runners_one_after_the_other) {
  XdgTree tree;
  EnvChanges env = runner_env(tree);
  for (const char* kept : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
    env.erase(kept);
  }
  BackgroundRunner first({NORVALE_RUNNER, "first"}, env);
  SCENARIO_CHECK(first.read_trace_until("window-report-end"));

  ChildOptions second;
  second.env = env;
  ChildResult result = run_child({NORVALE_RUNNER, "second"}, second);
  SCENARIO_CHECK(result.exit_code() == 0);
  SCENARIO_CHECK(first.still_running());
  Trace second_trace = Trace::read(tree.path("trace"));

  int first_status = first.finish();
  SCENARIO_CHECK(WIFEXITED(first_status) && WEXITSTATUS(first_status) == 0);
  Trace first_trace = first.trace();
  for (const Trace* trace : {&first_trace, &second_trace}) {
    std::printf("%s / %zu window report(s) / %s\n",
                trace->only("dart-entrypoint-arguments").c_str(),
                trace->all("window-report-end").size(), trace->only("window-close").c_str());
  }
  return 0;
}

TEST(Instances, TwoRunnersStartedOneAfterTheOtherEachGetTheirOwnWindow) {
  XdgTree tree;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  ChildOptions options;
  options.env = tree.env();
  auto result = run_child({NORVALE_WITH_DISPLAY, "--", std::string(self, static_cast<size_t>(n)),
                           "--scenario", "two_runners_one_after_the_other"},
                          options);
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out,
            "first / 1 window report(s) / \n"
            "second / 1 window report(s) / \n");
}

}  // namespace
