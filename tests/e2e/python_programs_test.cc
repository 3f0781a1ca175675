// Ordinary Python programs in the real bundle do what they do under
// python3: multiprocessing with every start method and nothing set by the
// program, children made by fork that signals end, and printed output that
// survives a termination signal.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "app_run.h"

namespace {

using namespace e2e_test;
using norvale_test::read_file;

std::string program(const char* name) { return std::string(NORVALE_E2E_PROGRAMS) + "/" + name; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct StartMethodsCase {
  const char* name;
  bool python3_on_path;
  bool to_file;  // runner's standard output a regular file, else a pipe
};

void PrintTo(const StartMethodsCase& c, std::ostream* os) { *os << c.name; }

class StartMethods : public testing::TestWithParam<StartMethodsCase> {};

TEST_P(StartMethods, RunPoolsProcessesExecutorsManagersAndSharedMemory) {
  XdgTree tree;
  AppRunOptions options;
  options.env["NORVALE_APP_PROGRAM"] = program("start_methods.py");
  if (!GetParam().python3_on_path) {
    // A directory with no interpreter in it at all, for runner alone.
    options.launcher = {"/usr/bin/env", "PATH=" + tree.path("")};
  }
  if (GetParam().to_file) options.stdout_file = tree.path("stdout");
  AppRun run(tree, options);
  EXPECT_TRUE(exited_with(run.finish(), 0)) << run.describe();
  EXPECT_EQ(run.trace().all("app-exit"), (std::vector<std::vector<std::string>>{{"1", "0"}}))
      << run.describe();

  std::vector<std::string> expected = {"executable " + canonical_runner(),
                                       "main file " + program("start_methods.py")};
  for (const std::string method : {"fork", "spawn", "forkserver"}) {
    expected.push_back(method + " module function [0, 1, 4, 9, 16]");
    expected.push_back(method + " script function [0, 1, 8, 27, 64]");
    expected.push_back("hello from a " + method + " child");
    expected.push_back(method + " process exit code 0");
  }
  for (const char* line : {"executor [0, 1, 8, 27]", "manager {'answer': 42}",
                           "shared memory norv", "subprocess 42 0", "done"}) {
    expected.push_back(line);
  }
  const std::string out = GetParam().to_file ? read_file(tree.path("stdout")) : run.out();
  EXPECT_EQ(lines_of(out), expected) << run.describe();
  EXPECT_EQ(run.err().find("Fatal Python error"), std::string::npos) << run.err();
}

const StartMethodsCase kStartMethodsCases[] = {
    {"WithPython3OnPath", true, false},
    {"WithoutAnyPythonOnPathOutputToAFile", false, true},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, StartMethods, testing::ValuesIn(kStartMethodsCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(EndToEnd, ForkChildrenEndBySignalsAndLeaveTheDesktopEntryAlone) {
  XdgTree tree;
  AppRunOptions options;
  options.env["NORVALE_APP_PROGRAM"] = program("fork_children.py");
  if (const char* asan = getenv("ASAN_OPTIONS")) {
    // From a child made by fork, LeakSanitizer cannot see the parent's other
    // threads and reports what they hold as leaked, failing the child's exit.
    options.env["ASAN_OPTIONS"] = std::string(asan) + ":detect_leaks=0";
  }
  AppRun run(tree, options);
  EXPECT_TRUE(exited_with(run.finish(), 0)) << run.describe();
  const std::vector<std::string> out = lines_of(run.out());
  ASSERT_EQ(out.size(), 9u) << run.describe();
  SCOPED_TRACE(run.describe());
  // Ended by the signal even before the child's fork handlers ran.
  EXPECT_EQ(out[0], "raw fork at first -15 -1");
  EXPECT_EQ(out[1], "raw fork after a mask -15 -1");
  EXPECT_EQ(out[2], "terminate -15");
  EXPECT_EQ(out[3], "SIGTERM -15");
  EXPECT_EQ(out[4], "SIGHUP -1");
  // A KeyboardInterrupt, as in a fork child of python3.
  EXPECT_EQ(out[5], "SIGINT 1");
  EXPECT_EQ(out[6], "before fork ['marker', 'icon.png', 'entry']");
  EXPECT_EQ(out[7], "os.fork child 7");
  EXPECT_EQ(out[8], "after fork ['marker', 'icon.png', 'entry']");
  // The application itself still cleaned up at its end.
  EXPECT_EQ(desktop_files_left(tree), std::vector<std::string>{});
}

struct OutputSignalCase {
  const char* name;
  int signum;
  bool to_file;
  bool desktop_entry;  // runner installs its entry (else: as in a sandbox)
};

void PrintTo(const OutputSignalCase& c, std::ostream* os) { *os << c.name; }

class OutputAtASignal : public testing::TestWithParam<OutputSignalCase> {};

TEST_P(OutputAtASignal, EveryPrintedLineIsThere) {
  XdgTree tree;
  AppRunOptions options;
  options.env["NORVALE_APP_PROGRAM"] = program("print_then_wait.py");
  if (!GetParam().desktop_entry) options.env["FLATPAK_ID"] = "com.zemtra.norvale";
  if (GetParam().to_file) options.stdout_file = tree.path("stdout");
  AppRun run(tree, options);
  ASSERT_TRUE(run.wait_for("app-received", {"1", "printed"})) << run.describe();
  ASSERT_GT(run.runner_pid(), 0) << run.describe();
  ASSERT_EQ(kill(run.runner_pid(), GetParam().signum), 0);
  const int status = run.finish();
  EXPECT_TRUE(exited_with(status, 128 + GetParam().signum)) << status << run.describe();

  std::string expected;
  for (int number = 1; number <= 200; ++number) {
    expected += "line " + std::to_string(number) + " of 200\n";
  }
  EXPECT_EQ(GetParam().to_file ? read_file(tree.path("stdout")) : run.out(), expected);
}

const OutputSignalCase kOutputSignalCases[] = {
    {"TerminateOutputToAFile", SIGTERM, true, true},
    {"TerminateOutputToAPipe", SIGTERM, false, true},
    {"InterruptOutputToAFile", SIGINT, true, true},
    {"InterruptOutputToAPipe", SIGINT, false, true},
    {"HangUpOutputToAFile", SIGHUP, true, true},
    {"InterruptWithoutDesktopEntryOutputToAFile", SIGINT, true, false},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, OutputAtASignal, testing::ValuesIn(kOutputSignalCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(EndToEnd, SigtermEndsTheApplicationOnAnyThreadOnceTheProgramUnblockedIt) {
  XdgTree tree;
  AppRunOptions options;
  options.env["NORVALE_APP_PROGRAM"] = program("ends_after_unblock.py");
  AppRun run(tree, options);
  EXPECT_TRUE(exited_with(run.finish(), 128 + SIGTERM)) << run.describe();
  EXPECT_EQ(desktop_files_left(tree), std::vector<std::string>{});
}

// Kills what is left of a process group the test made, should it fail.
struct GroupGuard {
  pid_t group = 0;
  ~GroupGuard() {
    if (group > 1) kill(-group, SIGKILL);  // never kill(-1, ...)
  }
};

TEST(EndToEnd, CtrlCEndsEveryProcessOfTheApplicationWithForkAndSpawnPoolsAlive) {
  XdgTree tree;
  AppRunOptions options;
  options.env["NORVALE_APP_PROGRAM"] = program("pools_in_own_group.py");
  AppRun run(tree, options);
  ASSERT_TRUE(run.wait_for("app-received", {"1", "pools"})) << run.describe();
  const pid_t group = run.runner_pid();
  ASSERT_GT(group, 1) << run.describe();
  GroupGuard guard{group};

  // runner leads the group; in it are both pools' workers and the
  // multiprocessing helpers, as a terminal's foreground job has them.
  const std::vector<pid_t> members = processes_in_group(group);
  ASSERT_GE(members.size(), 5u) << run.describe();
  std::vector<int> watched;
  for (pid_t member : members) {
    if (member != group) watched.push_back(watch_process(member));
  }

  ASSERT_EQ(kill(-group, SIGINT), 0);
  const int status = run.finish();
  EXPECT_TRUE(exited_with(status, 128 + SIGINT)) << status << run.describe();
  EXPECT_EQ(desktop_files_left(tree), std::vector<std::string>{});
  for (int pidfd : watched) EXPECT_TRUE(ends(pidfd)) << "a child outlived runner";
  // A worker that a pool started in place of one that Ctrl-C ended was not
  // watched: it ends too, once it finds its queue closed.
  std::vector<pid_t> left = processes_in_group(group);
  for (int tries = 0; !left.empty() && tries < 600; ++tries) {  // a hang guard
    usleep(100'000);
    left = processes_in_group(group);
  }
  EXPECT_EQ(left, std::vector<pid_t>{}) << run.describe();
}

}  // namespace
