// Termination signals while the Python program runs, its pool's children
// alive: the desktop cleanup happens, runner dies by the signal, and the
// children end with it. Ctrl-C included, also where runner keeps no
// desktop entry and so has not claimed SIGINT itself.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app_run.h"

namespace {

using namespace e2e_test;

struct SignalCase {
  const char* name;
  int signum;
  bool desktop_entry;  // runner installs its entry (else: as in a sandbox)
};

// Test names and failure messages show the case by its name.
void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class SignalWhileTheProgramRuns : public testing::TestWithParam<SignalCase> {};

TEST_P(SignalWhileTheProgramRuns, CleansUpAndDiesByTheSignalWithThePoolsChildren) {
  XdgTree tree;
  AppRunOptions options;
  if (!GetParam().desktop_entry) options.env["FLATPAK_ID"] = "com.zemtra.norvale";
  AppRun run(tree, options);
  TraceLine python, computed;
  ASSERT_TRUE(run.wait_for("app-received", {"1", "python"}, &python)) << run.describe();
  // Nobody handed Ctrl-C to Python: the host has it, which the program
  // sees as the default (the process ends).
  EXPECT_EQ(python.values.back(), "<Handlers.SIG_DFL: 0>") << run.describe();
  EXPECT_EQ(desktop_files_left(tree).empty(), !GetParam().desktop_entry);

  ASSERT_TRUE(run.click("compute")) << run.describe();
  ASSERT_TRUE(run.wait_for("app-received", {"1", "computed"}, &computed)) << run.describe();
  std::vector<int> children;
  for (size_t i = 4; i < computed.values.size(); ++i) {
    children.push_back(watch_process(std::stoi(computed.values[i])));
  }
  ASSERT_EQ(children.size(), 2u);

  // Never kill(-1, ...): that signals every process there is.
  ASSERT_GT(run.runner_pid(), 0) << run.describe();
  ASSERT_EQ(kill(run.runner_pid(), GetParam().signum), 0);
  const int status = run.finish();
  // The harness reports a signal N that ended runner as 128 + N.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + GetParam().signum)
      << status << run.describe();
  EXPECT_EQ(desktop_files_left(tree), std::vector<std::string>{});
  EXPECT_EQ(run.trace().all("app-exit").size(), 0u) << "the program ended before the process";
  for (int child : children) EXPECT_TRUE(ends(child)) << "a pool child outlived runner";
}

const SignalCase kSignalCases[] = {
    {"Terminate", SIGTERM, true},
    {"Interrupt", SIGINT, true},
    {"HangUp", SIGHUP, true},
    {"InterruptWithoutDesktopEntry", SIGINT, false},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, SignalWhileTheProgramRuns, testing::ValuesIn(kSignalCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
