// The real bundle under Xvfb: runner hosts the stand-in application, which
// runs the bundle's Python program through libnorvale. The window shows
// what the program sends, input reaches the program and its replies come
// back, the program's output reaches runner's, its end closes the window,
// a failing program leaves its traceback, and a second session hands the
// running program fresh ports.

#include <gtest/gtest.h>

#include <fstream>

#include "app_run.h"

namespace {

using namespace e2e_test;
using norvale_test::read_file;

// The lines of `key` whose second value (after the session) is `kind`.
std::vector<std::vector<std::string>> received(const Trace& trace, const std::string& kind) {
  std::vector<std::vector<std::string>> found;
  for (const auto& values : trace.all("app-received")) {
    if (values.size() > 1 && values[1] == kind) found.push_back(values);
  }
  return found;
}

struct OutputCase {
  const char* name;
  bool to_file;  // runner's standard output a regular file, else a pipe
};

// Test names and failure messages show the case by its name.
void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class ApplicationRun : public testing::TestWithParam<OutputCase> {};

TEST_P(ApplicationRun, ShowsTheProgramExchangesMessagesAndEndsWithIt) {
  XdgTree tree;
  AppRunOptions options;
  if (GetParam().to_file) options.stdout_file = tree.path("stdout");
  AppRun run(tree, options);

  ASSERT_TRUE(run.wait_for("app-window-mapped")) << run.describe();
  Trace shown = run.trace();
  // Hidden until the program said it is ready, then shown with its content.
  EXPECT_EQ(shown.only("window-visible"), "FALSE");
  EXPECT_LT(shown.index_of("app-received"), shown.index_of("app-window-shown"));
  EXPECT_EQ(shown.all("app-received")[0], (std::vector<std::string>{"1", "ready", "This machine, live"}));
  EXPECT_EQ(shown.all("app-session")[0][3], "start");
  EXPECT_FALSE(desktop_files_left(tree).empty()) << "no desktop entry while the window is open";

  // A field with a TAB and non-ASCII text, there and back.
  run.step("send echo\tgrüße\\tmit Tab");
  ASSERT_TRUE(run.wait_for("app-received", {"1", "echoed"})) << run.describe();
  EXPECT_EQ(received(run.trace(), "echoed")[0],
            (std::vector<std::string>{"1", "echoed", "grüße\tmit Tab"}));

  // A button of the program's, pressed as the user does.
  ASSERT_TRUE(run.click("refresh")) << run.describe();
  ASSERT_TRUE(run.wait_for("app-sent", {"1", "0", "click", "refresh"})) << run.describe();

  ASSERT_TRUE(run.click("quit")) << run.describe();
  const int status = run.finish();
  EXPECT_TRUE(exited_with(status, 0)) << status << run.describe();
  Trace trace = run.trace();
  EXPECT_EQ(trace.all("app-exit"), (std::vector<std::vector<std::string>>{{"1", "0"}}));
  EXPECT_LT(trace.index_of("app-program-ended"), trace.index_of("app-window-close"));
  EXPECT_EQ(trace.all("app-error").size(), 0u) << run.describe();
  EXPECT_EQ(norvale_test::unexpected_stderr(run.err()), "");
  EXPECT_EQ(desktop_files_left(tree), std::vector<std::string>{});

  const std::string out = GetParam().to_file ? read_file(tree.path("stdout")) : run.out();
  EXPECT_EQ(out.rfind("demo: Python ", 0), 0u) << out;
  EXPECT_NE(out.find("\ndemo: echo grüße\tmit Tab\ndemo: refreshed\ndemo: bye\n"),
            std::string::npos)
      << out;

  // The transcript has both directions.
  const std::string transcript = read_file(tree.path("transcript"));
  EXPECT_NE(transcript.find("[session 1] python -> dart  ready\tThis machine, live\n"),
            std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find("[session 1] dart -> python  echo\tgrüße\\tmit Tab\n"),
            std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find("[session 1] the program ended with result 0\n"), std::string::npos);
}

const OutputCase kOutputCases[] = {{"OutputToAPipe", false}, {"OutputToAFile", true}};

INSTANTIATE_TEST_SUITE_P(EndToEnd, ApplicationRun, testing::ValuesIn(kOutputCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(EndToEnd, PoolChildrenStartThroughRunnerAsInterpreters) {
  XdgTree tree;
  AppRun run(tree);
  ASSERT_TRUE(run.wait_for("app-window-shown")) << run.describe();
  ASSERT_TRUE(run.click("compute")) << run.describe();
  TraceLine computed;
  ASSERT_TRUE(run.wait_for("app-received", {"1", "computed"}, &computed)) << run.describe();
  ASSERT_TRUE(run.click("quit")) << run.describe();
  EXPECT_TRUE(exited_with(run.finish(), 0)) << run.describe();

  // "computed" LIMIT COUNT PID:EXE...: the primes below 200000, counted on
  // a pool of two children that are runner, not this process.
  ASSERT_EQ(computed.values.size(), 6u) << run.describe();
  EXPECT_EQ(computed.values[2], "200000");
  EXPECT_EQ(computed.values[3], "17984");
  for (size_t i = 4; i < computed.values.size(); ++i) {
    const std::string& child = computed.values[i];
    const size_t colon = child.find(':');
    EXPECT_NE(child.substr(0, colon), std::to_string(run.runner_pid()));
    EXPECT_EQ(child.substr(colon + 1), canonical_runner());
  }
  EXPECT_NE(computed.values[4], computed.values[5]);
  EXPECT_NE(run.out().find("demo: 17984 primes below 200000, on a pool of 2 child processes\n"),
            std::string::npos)
      << run.out();
  EXPECT_EQ(norvale_test::unexpected_stderr(run.err()), "");
}

struct FailureCase {
  const char* name;
  const char* program;  // nullptr: no program file at all
  int status;           // the application's exit status, as python3's would be
  const char* out;      // what it printed before it failed
  // Expected on standard error, in this order.
  std::vector<std::string> err;
};

// Test names and failure messages show the case by its name.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailingProgram : public testing::TestWithParam<FailureCase> {};

TEST_P(FailingProgram, EndsWithItsStatusAndItsTracebackAndClosesTheWindow) {
  XdgTree tree;
  const std::string program = tree.path("failing.py");
  if (GetParam().program != nullptr) std::ofstream(program) << GetParam().program;
  AppRunOptions options;
  options.env["NORVALE_APP_PROGRAM"] = program;
  AppRun run(tree, options);
  const int status = run.finish();

  const std::string result = std::to_string(GetParam().status);
  EXPECT_TRUE(exited_with(status, GetParam().status)) << status << run.describe();
  Trace trace = run.trace();
  EXPECT_EQ(trace.all("app-exit"), (std::vector<std::vector<std::string>>{{"1", result}}));
  EXPECT_EQ(trace.index_of("app-window-shown"), -1);
  EXPECT_NE(trace.index_of("app-window-close"), -1);
  EXPECT_EQ(run.out(), GetParam().out);
  size_t at = 0;
  for (std::string expected : GetParam().err) {
    if (expected.find("%s") != std::string::npos) expected.replace(expected.find("%s"), 2, program);
    const size_t found = run.err().find(expected, at);
    ASSERT_NE(found, std::string::npos) << "missing: " << expected << "\n" << run.describe();
    at = found + expected.size();
  }
  EXPECT_EQ(desktop_files_left(tree), std::vector<std::string>{});
}

const FailureCase kFailureCases[] = {
    {"RaisesAnException",
     "print('started')\n"
     "def figures():\n"
     "    raise ValueError('no figures today')\n"
     "figures()\n",
     1, "started\n",
     {"Traceback (most recent call last):\n", "  File \"%s\", line 4, in <module>\n",
      "  File \"%s\", line 3, in figures\n", "ValueError: no figures today\n"}},
    {"ImportsWhatIsNotThere",
     "print('started')\nimport no_such_module_anywhere\n",
     1, "started\n",
     {"  File \"%s\", line 2, in <module>\n",
      "ModuleNotFoundError: No module named 'no_such_module_anywhere'\n"}},
    {"IsNoPython",
     "print('started')\ndef broken(:\n",
     1, "",  // nothing runs before the whole file compiles
     {"  File \"%s\", line 2\n    def broken(:\n               ^\n", "SyntaxError: invalid syntax\n"}},
    {"IsMissing", nullptr, 1, "", {"[kestrune_run] cannot open %s\n"}},
    {"ExitsWithAStatus", "import sys\nprint('started')\nsys.exit(3)\n", 3, "started\n", {}},
    {"ExitsWithAMessage", "import sys\nsys.exit('cannot go on')\n", 1, "", {"cannot go on\n"}},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, FailingProgram, testing::ValuesIn(kFailureCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(EndToEnd, SecondSessionHandsTheRunningProgramFreshPorts) {
  XdgTree tree;
  AppRun run(tree);
  // The program is set up (its last button came): it has subscribed to new
  // sessions, and all of the first session's messages are in.
  ASSERT_TRUE(run.wait_for("app-received", {"1", "button", "quit"})) << run.describe();

  run.step("restart");
  TraceLine session, restarted;
  ASSERT_TRUE(run.wait_for("app-session", {"2"}, &session)) << run.describe();
  ASSERT_EQ(session.values.size(), 5u);
  EXPECT_EQ(session.values[3], "reuse");
  EXPECT_EQ(session.values[4], "0");
  // The new session's exit port hears at once that the program has its
  // ports; the restart handler answers on the new port.
  ASSERT_TRUE(run.wait_for("app-exit", {"2", "0"})) << run.describe();
  ASSERT_TRUE(run.wait_for("app-received", {"2", "restarted"}, &restarted)) << run.describe();
  EXPECT_EQ(restarted.values, (std::vector<std::string>{"2", "restarted", session.values[1],
                                                        session.values[2]}));

  // Input now goes to the new port, and so do the replies.
  run.step("send echo\tafter the restart");
  ASSERT_TRUE(run.wait_for("app-received", {"2", "echoed", "after the restart"}))
      << run.describe();
  EXPECT_EQ(run.trace().all("app-exit").size(), 1u) << "the first session heard of an end";

  ASSERT_TRUE(run.click("quit")) << run.describe();
  EXPECT_TRUE(exited_with(run.finish(), 0)) << run.describe();
  Trace trace = run.trace();
  EXPECT_EQ(trace.all("app-exit"), (std::vector<std::vector<std::string>>{{"2", "0"}, {"1", "0"}}));
  EXPECT_EQ(trace.all("app-program-ended"), (std::vector<std::vector<std::string>>{{"1", "0"}}));
  EXPECT_NE(run.out().find("demo: a new session, now on port " + session.values[1] + "\n"),
            std::string::npos)
      << run.out();
  EXPECT_EQ(norvale_test::unexpected_stderr(run.err()), "");
}

}  // namespace
