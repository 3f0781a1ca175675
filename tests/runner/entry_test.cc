// The two paths through runner's entry: a multiprocessing child's command
// line makes it a Python interpreter, anything else the application; and
// how each path ends the process.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runner_fixture.h"

namespace {

using namespace norvale_test;

// A child's environment: no display at all, and the tree.
ChildOptions child_options(const XdgTree& tree) {
  ChildOptions options;
  options.env = runner_env(tree);
  return options;
}

constexpr char kChildPrefix[] = "from multiprocessing.util import debug\n";
// Output left in the buffers of Python and of the C library when the
// interpreter exits: the ordinary exit flushes both.
constexpr char kTail[] =
    "import sys, ctypes\n"
    "sys.stdout.write('python tail|')\n"
    "ctypes.CDLL(None).printf(b'stdio tail')\n"
    "sys.exit(7)\n";

TEST(InterpreterChild, RunsTheCodeWithNorvaleAndWithoutADisplayAndEndsWithItsStatus) {
  XdgTree tree;
  ChildOptions options = child_options(tree);
  options.env["PYTHONINSPECT"] = "1";
  std::string code = std::string(kChildPrefix) +
                     "import os, sys, ctypes, norvale\n"
                     "assert 'PYTHONINSPECT' not in os.environ\n"
                     "try:\n"
                     "    norvale.send_bytes(1, b'x')\n"
                     "except RuntimeError as e:\n"
                     "    print('RuntimeError:', e, flush=True)\n"
                     "print(os.readlink('/proc/self/exe') == os.path.realpath('" NORVALE_RUNNER
                     "'), flush=True)\n"
                     + kTail;
  auto result = run_child({NORVALE_RUNNER, "-c", code}, options);
  EXPECT_EQ(result.exit_code(), 7) << result.err;
  // Both buffers written out at exit, in the order python3 of the same
  // CPython writes them in the same environment: the C library's first
  // while sys.stdout is buffered, Python's first under PYTHONUNBUFFERED.
  ChildOptions python3_options = options;
  python3_options.env["PYTHONINSPECT"] = std::nullopt;  // runner drops it; python3 would not
  auto python3 = run_child({NORVALE_PYTHON_EXECUTABLE, "-c", kTail}, python3_options);
  EXPECT_EQ(python3.exit_code(), 7) << python3.err;
  ASSERT_TRUE(python3.out == "python tail|stdio tail" || python3.out == "stdio tailpython tail|")
      << python3.out;
  EXPECT_EQ(result.out,
            "RuntimeError: Dart API DL not initialized (call Norvale_InitDartApiDL from Dart "
            "first)\nTrue\n" + python3.out);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(Trace::read(tree.path("trace")).lines().size(), 0u) << "the embedding was used";
}

// runner knows its own home: the program's children find the bundle's
// standard library with nothing in the environment, and a PYTHONHOME that
// names that home is not handed on to what they start in turn.
TEST(InterpreterChild, FindsItsOwnStandardLibraryAndHandsOnNoPythonHome) {
  const std::string bundle = std::filesystem::canonical(NORVALE_RUNNER).parent_path().parent_path();
  const std::string code = std::string(kChildPrefix) +
                           "import os, sys, json\n"
                           "print(sys.prefix, 'PYTHONHOME' in os.environ)\n";
  for (const std::vector<std::string>& environment :
       {std::vector<std::string>{}, {"PYTHONHOME=" + bundle}}) {
    SCOPED_TRACE(environment.empty() ? "empty environment" : environment[0]);
    // -B: the build tree's standard library stays without bytecode caches.
    std::vector<std::string> argv = {"/usr/bin/env", "-i"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.insert(argv.end(), {NORVALE_RUNNER, "-B", "-c", code});
    auto result = run_child(argv);
    EXPECT_EQ(result.exit_code(), 0) << result.err;
    EXPECT_EQ(result.out, bundle + " False\n") << result.err;
  }
}

// runner started by what an application started, where neither its
// ancestors nor a live instance named in its environment say so: it is an
// interpreter, not the application starting its program again.
TEST(InterpreterChild, RecognisedAfterTheApplicationEndedAndAfterADoubleForkWithNoEnvironment) {
  XdgTree tree;
  const std::string print_42 = "print(42)";
  // A late child: the instance that set the variable has ended.
  auto late = run_child({"/usr/bin/env", "-i", "ZEMTRA_NORVALE_APPLICATION_PID=2147483646",
                         NORVALE_RUNNER, "-B", "-c", print_42});
  EXPECT_EQ(late.exit_code(), 0) << late.err;
  EXPECT_EQ(late.out, "42\n") << late.err;

  // An orphan with an empty environment in the group of a runner that leads
  // it (started as python3, so an interpreter itself, as the application
  // would be from a shell).
  const std::string python3 = tree.path("python3");
  std::filesystem::create_symlink(NORVALE_RUNNER, python3);
  const std::string out = tree.path("orphan-out");
  const std::string leader =
      "import os, subprocess, time\n"
      "os.setpgid(0, 0)\n"
      "subprocess.run(\"( env -i '" NORVALE_RUNNER "' -B -c 'print(42)' > '" + out +
      "' 2>&1 & )\", shell=True)\n"
      "for _ in range(600):\n"
      "    if os.path.exists('" + out + "') and os.path.getsize('" + out + "') > 0:\n"
      "        break\n"
      "    time.sleep(0.1)\n"
      "print(open('" + out + "').read(), end='')\n";
  auto grouped = run_child({python3, "-B", "-c", leader}, child_options(tree));
  EXPECT_EQ(grouped.exit_code(), 0) << grouped.err;
  EXPECT_EQ(grouped.out, "42\n") << grouped.err;
}

// runner started with a libnorvale that lacks entries, or whose check
// answers no: which path it takes, and which fake entries were called.
struct BridgeCase {
  const char* name;
  const char* variant;  // directory of the fake libnorvale
  bool application;
  std::string calls;  // what the fake entries said on standard error
};

void PrintTo(const BridgeCase& c, std::ostream* os) { *os << c.name; }

const std::vector<BridgeCase> kBridges = {
    {"check_without_main", "check_only", true, ""},
    {"main_without_check", "main_only", true, ""},
    {"check_says_no", "says_no", true, "fake kestrune_is_mp_invocation called\n"},
    {"check_says_yes", "says_yes", false,
     "fake kestrune_is_mp_invocation called\nfake kestrune_main called\n"},
};

class BridgeLookup : public testing::TestWithParam<BridgeCase> {};

TEST_P(BridgeLookup, UsesTheChildEntryOnlyWhenBothExistAndTheCheckSaysYes) {
  const BridgeCase& c = GetParam();
  std::vector<std::string> args = {"--multiprocessing-fork", "with blank", ""};
  RunnerRun run = run_runner(RunnerOptions().args(args).env(
      "LD_LIBRARY_PATH", std::string(NORVALE_FAKE_BRIDGES) + "/" + c.variant));
  EXPECT_EQ(unexpected_stderr(run.result.err), c.calls);
  if (c.application) {
    EXPECT_EQ(run.result.exit_code(), 0);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.trace.all("dart-entrypoint-arguments"),
              std::vector<std::vector<std::string>>{args});
    EXPECT_EQ(run.trace.all("window-report-end").size(), 1u);
  } else {
    // The child entry gets the command line unchanged, and its status
    // ends the process.
    EXPECT_EQ(run.result.exit_code(), 42);
    EXPECT_EQ(run.result.out, "4 [--multiprocessing-fork] [with blank] []\n");
    EXPECT_TRUE(run.trace.lines().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Entry, BridgeLookup, testing::ValuesIn(kBridges),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ApplicationExit, FlushesWhatWasPrintedButRunsNoExitHandlersOrStaticDestructors) {
  RunnerRun run = run_runner(RunnerOptions().env("GTK_MODULES", NORVALE_EXIT_PROBE));
  EXPECT_EQ(run.result.exit_code(), 0);
  EXPECT_EQ(run.result.out, "exit probe: printed during the run, never flushed\n");
  EXPECT_EQ(unexpected_stderr(run.result.err), "");
  EXPECT_EQ(run.trace.all("window-close").size(), 1u);
}

}  // namespace
