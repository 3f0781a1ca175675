// The real runner binary under Xvfb: installation by the first instance,
// confirmation by the next, removal by the last; many instances at once;
// instances killed or ended by termination signals, also while a Python
// program runs inside.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <functional>
#include <random>
#include <sstream>

#include "desktop_fixture.h"
#include "desktop_internal.h"
#include "runner_instance.h"

namespace {

using namespace desktop_test;

std::string real_runner() {
  char resolved[PATH_MAX];
  return realpath(DESKTOP_TEST_RUNNER, resolved) != nullptr ? resolved : "";
}

// What the bundle's runner installs for itself.
void expect_entry_for_runner(const XdgTree& tree) {
  const std::string text = read_file(tree.user_entry()).value_or("");
  EXPECT_EQ(entry_string(text, "Exec"), "\"" + real_runner() + "\" %U") << text;
  EXPECT_EQ(entry_string(text, "Icon"), tree.icon_copy()) << text;
  EXPECT_EQ(entry_string(text, "Name"), APPLICATION_TITLE) << text;
  EXPECT_EQ(entry_string(text, "NoDisplay"), "true") << text;
  EXPECT_EQ(entry_string(text, "X-Zemtra-Generated"), "true") << text;
  EXPECT_EQ(read_file(tree.icon_copy()), read_file(DESKTOP_TEST_BUNDLE_ICON));
}

// Nothing of the instances is left but the base directory and its lock.
void expect_nothing_left(const XdgTree& tree) {
  EXPECT_FALSE(exists(tree.user_entry()));
  EXPECT_FALSE(exists(tree.runtime_area())) << testing::PrintToString(list_dir(tree.runtime_area()));
  EXPECT_EQ(list_dir(tree.base_dir()), std::vector<std::string>{APPLICATION_ID ".lock"});
}

std::vector<std::string> markers_and_icon(std::vector<pid_t> pids) {
  std::vector<std::string> names;
  for (pid_t pid : pids) names.push_back(std::to_string(pid));
  names.push_back("icon.png");
  std::sort(names.begin(), names.end());
  return names;
}

bool ended_normally(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// The size of the first icon on the X windows of process `pid`, as the
// window manager reads it (_NET_WM_ICON), or "none".
std::string window_icon_of(pid_t pid) {
  auto windows = norvale_test::run_child({"/usr/bin/xdotool", "search", "--pid", std::to_string(pid)});
  std::istringstream ids(windows.out);
  std::string id;
  while (ids >> id) {
    auto icon = norvale_test::run_child(
        {"/usr/bin/xprop", "-id", id, "-f", "_NET_WM_ICON", "32c", " $0x$1", "_NET_WM_ICON"});
    const std::string prefix = "_NET_WM_ICON(CARDINAL) ";
    if (icon.out.rfind(prefix, 0) == 0) return icon.out.substr(prefix.size(), icon.out.find('\n') - prefix.size());
  }
  return "none";
}

// Waits until `condition` holds, for a minute at most.
bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 6000; ++i) {
    if (condition()) return true;
    usleep(10000);
  }
  return condition();
}

struct Instances {
  XdgTree tree;
  norvale_test::ChildOptions options = instance_options(tree.options());
  int started = 0;

  std::unique_ptr<RunnerInstance> start(const std::string& executable = DESKTOP_TEST_RUNNER) {
    return std::make_unique<RunnerInstance>(executable, options,
                                            tree.root + "/instance-" + std::to_string(started++));
  }
};

TEST(RunnerInstances, FirstInstallsTheNextConfirmsTheLastRemoves) {
  Instances s;
  auto first = s.start();
  ASSERT_TRUE(first->wait_for("window-report-end")) << first->err();
  expect_entry_for_runner(s.tree);
  auto validate = norvale_test::run_child({"/usr/bin/desktop-file-validate", s.tree.user_entry()});
  EXPECT_EQ(validate.exit_code(), 0) << validate.out << validate.err;
  struct stat before, after;
  ASSERT_EQ(stat(s.tree.user_entry().c_str(), &before), 0);

  auto second = s.start();
  ASSERT_TRUE(second->wait_for("window-report-end")) << second->err();
  ASSERT_EQ(stat(s.tree.user_entry().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino) << "the second instance wrote the entry again";
  EXPECT_EQ(list_dir(s.tree.runtime_area()), markers_and_icon({first->pid(), second->pid()}));

  first->close_window();
  EXPECT_TRUE(ended_normally(first->wait())) << first->err();
  EXPECT_EQ(list_dir(s.tree.runtime_area()), markers_and_icon({second->pid()}));
  expect_entry_for_runner(s.tree);

  second->close_window();
  EXPECT_TRUE(ended_normally(second->wait())) << second->err();
  expect_nothing_left(s.tree);
}

TEST(RunnerInstances, LaunchingTheInstalledEntryStartsTheRunner) {
  Instances s;
  auto first = s.start();
  ASSERT_TRUE(first->wait_for("window-report-end")) << first->err();
  // The launched one reports to a file, closes its window at once and ends.
  const std::string trace = s.tree.root + "/launched.trace";
  auto options = s.tree.options();
  options.env["NORVALE_FLUTTER_TRACE"] = trace;
  options.env["NORVALE_FLUTTER_CLOSE_WINDOW"] = "after-window-report";
  auto launch = norvale_test::run_child({"/usr/bin/gio", "launch", s.tree.user_entry()}, options);
  EXPECT_EQ(launch.exit_code(), 0) << launch.out << launch.err;
  EXPECT_TRUE(eventually([&] {
    return read_file(trace).value_or("").find("window-close\n") != std::string::npos;
  }));
  // It was an instance of its own: it came, left its marker and took it back.
  EXPECT_TRUE(eventually([&] {
    return list_dir(s.tree.runtime_area()) == markers_and_icon({first->pid()});
  }));
  expect_entry_for_runner(s.tree);
  first->close_window();
  EXPECT_TRUE(ended_normally(first->wait())) << first->err();
  expect_nothing_left(s.tree);
}

TEST(RunnerInstances, StartedThroughASymbolicLinkLookBesideTheRealExecutable) {
  Instances s;
  const std::string link = s.tree.root + "/runner link";
  ASSERT_EQ(symlink(DESKTOP_TEST_RUNNER, link.c_str()), 0);
  auto instance = s.start(link);
  ASSERT_TRUE(instance->wait_for("window-report-end")) << instance->err();
  // Template and icon were found beside the resolved file, not the link.
  expect_entry_for_runner(s.tree);
  EXPECT_EQ(window_icon_of(instance->pid()), "256x256");
  instance->close_window();
  EXPECT_TRUE(ended_normally(instance->wait())) << instance->err();
  expect_nothing_left(s.tree);
}

// Every running instance has reported, so each has installed: it holds a
// marker, and the entry is whole and names the runner.
void expect_all_installed(const XdgTree& tree,
                          const std::vector<std::unique_ptr<RunnerInstance>>& running) {
  for (const auto& instance : running) EXPECT_TRUE(exists(tree.marker(instance->pid())));
  expect_entry_for_runner(tree);
}

TEST(RunnerInstances, ManyStartedAndEndedConcurrentlyLeaveNothingBehind) {
  Instances s;
  std::mt19937 random(20261210);
  std::vector<std::unique_ptr<RunnerInstance>> running;
  constexpr int kRounds = 3, kPerRound = 8;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    // Half of those still running end while the new ones start.
    std::shuffle(running.begin(), running.end(), random);
    std::vector<std::unique_ptr<RunnerInstance>> ending;
    while (ending.size() < running.size() / 2 + running.size() % 2) {
      ending.push_back(std::move(running.back()));
      running.pop_back();
    }
    std::vector<std::unique_ptr<RunnerInstance>> fresh;
    for (int i = 0; i < kPerRound; ++i) {
      fresh.push_back(s.start());
      if (i < static_cast<int>(ending.size())) ending[i]->close_window();
    }
    for (auto& instance : ending) EXPECT_TRUE(ended_normally(instance->wait())) << instance->err();
    for (auto& instance : fresh) {
      ASSERT_TRUE(instance->wait_for("window-report-end")) << instance->err();
      running.push_back(std::move(instance));
    }
    expect_all_installed(s.tree, running);
  }
  std::shuffle(running.begin(), running.end(), random);
  for (auto& instance : running) instance->close_window();
  for (auto& instance : running) EXPECT_TRUE(ended_normally(instance->wait())) << instance->err();
  expect_nothing_left(s.tree);
}

TEST(RunnerInstances, MarkerOfAKilledInstanceIsPrunedByTheNextCleanup) {
  Instances s;
  auto killed = s.start();
  auto survivor = s.start();
  ASSERT_TRUE(killed->wait_for("window-report-end")) << killed->err();
  ASSERT_TRUE(survivor->wait_for("window-report-end")) << survivor->err();
  ASSERT_EQ(kill(killed->pid(), SIGKILL), 0);
  const int status = killed->wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(list_dir(s.tree.runtime_area()), markers_and_icon({killed->pid(), survivor->pid()}));

  survivor->close_window();
  EXPECT_TRUE(ended_normally(survivor->wait())) << survivor->err();
  expect_nothing_left(s.tree);
}

// Kills a started instance with SIGKILL and reaps it. Never with pid -1,
// which would reach every process.
void kill_hard(RunnerInstance& instance) {
  ASSERT_GT(instance.pid(), 0);
  ASSERT_EQ(kill(instance.pid(), SIGKILL), 0);
  const int status = instance.wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << instance.err();
}

// The entry and nothing else in the user's applications directory: no
// temporary file of a write that was cut short.
void expect_only_the_entry(const XdgTree& tree) {
  EXPECT_EQ(list_dir(tree.data_home + "/applications"), std::vector<std::string>{entry_file_name()});
  expect_entry_for_runner(tree);
}

using InstanceList = std::vector<std::unique_ptr<RunnerInstance>>;

std::vector<pid_t> pids_of(const InstanceList& instances) {
  std::vector<pid_t> pids;
  for (const auto& instance : instances) pids.push_back(instance->pid());
  return pids;
}

// Moves `count` instances from the back of `from` to a new list.
InstanceList take(InstanceList& from, size_t count) {
  InstanceList taken;
  while (taken.size() < count && !from.empty()) {
    taken.push_back(std::move(from.back()));
    from.pop_back();
  }
  return taken;
}

// Rounds of ten running instances. While the test holds the lock, some are
// killed with SIGKILL: new ones on their way to the lock, running ones, and
// ones whose cleanup waits for the lock; others are closed, and new ones
// start. Every cleanup then runs after the killed are gone, so after each
// round the area holds exactly the live instances' markers and the icon,
// and the entry is whole and names the runner.
TEST(RunnerInstances, KilledAtAnyMomentAmongManyTheAreaStaysConsistent) {
  Instances s;
  std::mt19937 random(20260117);
  auto below = [&](int n) {
    return static_cast<size_t>(std::uniform_int_distribution<>(0, n - 1)(random));
  };
  InstanceList running;
  constexpr size_t kRunning = 10;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    auto lock = std::make_unique<DesktopEntryLock>(s.tree.runtime_area().c_str());
    ASSERT_TRUE(lock->held());
    std::shuffle(running.begin(), running.end(), random);
    auto killed_running = take(running, 1 + below(3));
    auto killed_in_cleanup = take(running, below(2));
    auto closed = take(running, 1 + below(2));
    InstanceList fresh;
    while (running.size() + fresh.size() < kRunning) fresh.push_back(s.start());
    InstanceList killed_starting;
    for (size_t i = 1 + below(2); i > 0; --i) killed_starting.push_back(s.start());

    for (auto& instance : closed) instance->close_window();
    for (auto& instance : killed_in_cleanup) instance->close_window();
    for (auto* group : {&killed_running, &killed_in_cleanup, &killed_starting}) {
      for (auto& instance : *group) kill_hard(*instance);
    }
    lock.reset();

    for (auto& instance : closed) EXPECT_TRUE(ended_normally(instance->wait())) << instance->err();
    for (auto& instance : fresh) {
      ASSERT_TRUE(instance->wait_for("window-report-end")) << instance->err();
      running.push_back(std::move(instance));
    }
    EXPECT_EQ(list_dir(s.tree.runtime_area()), markers_and_icon(pids_of(running)));
    expect_only_the_entry(s.tree);
  }

  // The last ones all killed: nobody cleans up, so the entry and their
  // markers stay, until the next instance's cleanup removes them all.
  const std::vector<pid_t> last = pids_of(running);
  for (auto& instance : running) kill_hard(*instance);
  EXPECT_EQ(list_dir(s.tree.runtime_area()), markers_and_icon(last));
  expect_only_the_entry(s.tree);
  auto next = s.start();
  ASSERT_TRUE(next->wait_for("window-report-end")) << next->err();
  next->close_window();
  EXPECT_TRUE(ended_normally(next->wait())) << next->err();
  expect_nothing_left(s.tree);
}

// A program that tells the test it runs, then waits for ever.
constexpr char kWaitingProgram[] =
    "import os, time\n"
    "os.write(3, b'python-running\\n')\n"
    "while True:\n"
    "    time.sleep(0.05)\n";

struct SignalCase {
  const char* name;
  int signum;
  bool python;  // whether a Python program runs in the instance
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class TerminationSignals : public testing::TestWithParam<SignalCase> {};

TEST_P(TerminationSignals, CleanUpAndEndTheInstanceByTheSignal) {
  Instances s;
  if (GetParam().python) {
    s.options.env["LD_PRELOAD"] = DESKTOP_TEST_PYTHON_PRELOAD;
    s.options.env["DESKTOP_TEST_PYTHON"] = kWaitingProgram;
    // The preloaded library comes before the sanitizer runtime, which is
    // fine for a library that only calls into the bridge.
    const char* asan = getenv("ASAN_OPTIONS");
    if (asan != nullptr) s.options.env["ASAN_OPTIONS"] = std::string(asan) + ":verify_asan_link_order=0";
  }
  auto instance = s.start();
  ASSERT_TRUE(instance->wait_for("window-report-end")) << instance->err();
  if (GetParam().python) {
    ASSERT_TRUE(instance->wait_for("python-running")) << instance->err();
  }
  EXPECT_TRUE(exists(s.tree.marker(instance->pid())));

  ASSERT_EQ(kill(instance->pid(), GetParam().signum), 0);
  const int status = instance->wait();
  EXPECT_TRUE(WIFSIGNALED(status)) << "wait status " << status << "\n" << instance->err();
  EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, GetParam().signum);
  expect_nothing_left(s.tree);
}

const SignalCase kSignalCases[] = {
    {"Terminate", SIGTERM, false},       {"Interrupt", SIGINT, false},
    {"HangUp", SIGHUP, false},           {"TerminateWithPython", SIGTERM, true},
    {"InterruptWithPython", SIGINT, true}, {"HangUpWithPython", SIGHUP, true},
};

std::string signal_case_name(const testing::TestParamInfo<SignalCase>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(RunnerInstances, TerminationSignals, testing::ValuesIn(kSignalCases),
                         signal_case_name);

}  // namespace
