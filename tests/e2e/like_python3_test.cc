// Ordinary Python programs (programs/) do in the installed application what
// they do under python3 of the same CPython: each runs both ways, with its
// output to a pipe, a file or a terminal, and the two runs agree on the exit
// status and on every byte of both streams.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app_run.h"

namespace {

using namespace e2e_test;
using norvale_test::ChildOptions;
using norvale_test::ChildResult;
using norvale_test::run_child;
using norvale_test::StdoutKind;

struct Outcome {
  int status;  // the exit status, 128 + N for death by signal N
  std::string out, err;
};

int status_of(const ChildResult& result) {
  if (result.term_signal() != 0) return 128 + result.term_signal();
  return result.exit_code();
}

// Standard error without the display stack's noise.
std::string program_stderr(const std::string& err) { return norvale_test::unexpected_stderr(err); }

struct ParityCase {
  const char* name;
  const char* program;  // in programs/, or the source itself when inline
  StdoutKind stdout_kind;
  EnvChanges env;
  bool inline_source = false;
};

void PrintTo(const ParityCase& c, std::ostream* os) { *os << c.name; }

class LikePython3 : public testing::TestWithParam<ParityCase> {
 protected:
  // Both runs see the same environment: the tree, the case's variables, and
  // no PYTHONHOME or PYTHONPATH of the test's own.
  ChildOptions options(const std::string& out_file) const {
    ChildOptions options;
    options.env = norvale_test::runner_env(tree_);
    options.env["NORVALE_FLUTTER_CLOSE_WINDOW"] = std::nullopt;  // the program runs
    for (const char* name : {"PYTHONHOME", "PYTHONPATH", "PYTHONUNBUFFERED"}) {
      options.env[name] = std::nullopt;
    }
    options.env["PYTHONDONTWRITEBYTECODE"] = "1";
    for (const auto& [name, value] : GetParam().env) options.env[name] = value;
    options.stdout_kind = GetParam().stdout_kind;
    options.stdout_file = tree_.path(out_file);
    options.timeout_seconds = 90;
    return options;
  }

  std::string program() const {
    if (!GetParam().inline_source) return std::string(NORVALE_E2E_PROGRAMS) + "/" + GetParam().program;
    const std::string path = tree_.path("program.py");
    std::ofstream(path) << GetParam().program;
    return path;
  }

  Outcome in_application(const std::string& program) const {
    ChildOptions run = options("application-out");
    run.env["NORVALE_APP_PROGRAM"] = program;
    ChildResult result =
        run_child({NORVALE_WITH_DISPLAY, "--", NORVALE_PARITY_BUNDLE "/bin/runner"}, run);
    return {status_of(result), result.out, program_stderr(result.err)};
  }

  Outcome under_python3(const std::string& program) const {
    ChildResult result = run_child({NORVALE_PYTHON3, program}, options("python3-out"));
    return {status_of(result), result.out, result.err};
  }

  XdgTree tree_;
};

TEST_P(LikePython3, TheProgramDoesWhatItDoesUnderPython3) {
  const std::string path = program();
  const Outcome expected = under_python3(path);
  const Outcome got = in_application(path);
  EXPECT_EQ(got.status, expected.status);
  EXPECT_EQ(got.out, expected.out);
  EXPECT_EQ(got.err, expected.err);
}

const ParityCase kParityCases[] = {
    {"StreamsToAPipe", "streams.py", StdoutKind::kPipe, {}},
    {"StreamsToAFile", "streams.py", StdoutKind::kFile, {}},
    {"StreamsToATerminal", "streams.py", StdoutKind::kTerminal, {}},
    {"BufferedToAFile", "buffering.py", StdoutKind::kFile, {}},
    {"UnbufferedToAFile", "buffering.py", StdoutKind::kFile, {{"PYTHONUNBUFFERED", "1"}}},
    {"SwappedStandardOutput", "swapped_stdout.py", StdoutKind::kPipe, {}},
    {"IntoAClosedPipe",
     "import os\nr, w = os.pipe()\nos.close(r)\nos.dup2(w, 1)\n"
     "for i in range(100000):\n    print(i)\n",
     StdoutKind::kPipe, {}, true},
    {"Signals", "signals.py", StdoutKind::kPipe, {}},
    {"SignalsWithOutputToATerminal", "signals.py", StdoutKind::kTerminal, {}},
    {"MainStartsClean", "main_globals.py", StdoutKind::kPipe, {}},
    {"ChildProcesses", "child_processes.py", StdoutKind::kPipe, {}},
    {"RaisesAnException", "def f():\n    raise ValueError('no')\nf()\n", StdoutKind::kPipe, {},
     true},
    {"IsNoPython", "print('never')\ndef broken(:\n", StdoutKind::kPipe, {}, true},
    {"ExitsWithAStatus", "import sys\nprint('leaving')\nsys.exit(3)\n", StdoutKind::kFile, {},
     true},
    {"ExitsWithAMessage", "raise SystemExit('cannot go on')\n", StdoutKind::kPipe, {}, true},
    // Both streams into one pipe (2>&1): what was printed comes first.
    {"TracebackAfterWhatWasPrinted", "print('before')\nraise ValueError('no')\n",
     StdoutKind::kStderr, {}, true},
    {"ExitFunctionsAfterWhatWasPrinted",
     "import atexit, sys\natexit.register(lambda: sys.stderr.write('at exit\\n'))\n"
     "print('printed')\n",
     StdoutKind::kStderr, {}, true},
    {"KeyboardInterruptEndsAForkChildBySigint",
     "import os, warnings\nwarnings.simplefilter('ignore', DeprecationWarning)\n"
     "pid = os.fork()\nif pid == 0:\n    raise KeyboardInterrupt\n"
     "print('child', os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))\n",
     StdoutKind::kPipe, {}, true},
    // No handler of the program's: the application ends within the call.
    {"KillsItselfWithSigterm",
     "import os, signal\nprint('before', flush=True)\nos.kill(os.getpid(), signal.SIGTERM)\nprint('after')\n",
     StdoutKind::kPipe, {}, true},
    {"RaisesSighup",
     "import signal\nprint('before', flush=True)\nsignal.raise_signal(signal.SIGHUP)\nprint('after')\n",
     StdoutKind::kFile, {}, true},
    {"ProgramFileClosedWhileItRuns",
     "import os\ndef target(fd):\n    try:\n        return os.readlink(f'/proc/self/fd/{fd}')\n"
     "    except OSError:\n        return ''\n"
     "print(os.path.realpath(__file__) in {target(fd) for fd in os.listdir('/proc/self/fd')})\n",
     StdoutKind::kPipe, {}, true},
    {"OriginalArguments",
     "import sys\nprint(sys.orig_argv[0] == sys.executable, sys.orig_argv[1:] == sys.argv)\n",
     StdoutKind::kPipe, {}, true},
    {"UTF8ModeUnderTheCLocale",
     "import sys\nprint(sys.flags.utf8_mode, sys.stdout.encoding, sys.getfilesystemencoding())\n"
     "print('caf\\u00e9')\n",
     StdoutKind::kPipe, {{"LANG", "C"}, {"LC_ALL", std::nullopt}, {"LC_CTYPE", std::nullopt}}, true},
    {"UTF8ModeAskedFor",
     "import sys\nprint(sys.flags.utf8_mode, sys.stdout.encoding, sys.getfilesystemencoding())\n",
     StdoutKind::kPipe, {{"PYTHONUTF8", "1"}}, true},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, LikePython3, testing::ValuesIn(kParityCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Started with SIGINT and SIGHUP ignored, as nohup and a shell's background
// jobs start a program: they stay ignored.
TEST(LikePython3Signals, SignalsIgnoredAtTheStartStayIgnored) {
  XdgTree tree;
  const std::string program = std::string(NORVALE_E2E_PROGRAMS) + "/ignored_signals.py";
  const std::string ignoring = "trap '' INT HUP; exec \"$0\" \"$@\"";
  ChildOptions options;
  options.env = norvale_test::runner_env(tree);
  options.env["NORVALE_FLUTTER_CLOSE_WINDOW"] = std::nullopt;
  options.env["PYTHONHOME"] = std::nullopt;
  const ChildResult python3 = run_child({"/bin/sh", "-c", ignoring, NORVALE_PYTHON3, program}, options);
  options.env["NORVALE_APP_PROGRAM"] = program;
  const ChildResult application = run_child(
      {NORVALE_WITH_DISPLAY, "--", "/bin/sh", "-c", ignoring, NORVALE_PARITY_BUNDLE "/bin/runner"},
      options);
  EXPECT_EQ(python3.out, "SIGINT 1\nSIGHUP 1\nstill running\n") << python3.err;
  EXPECT_EQ(application.exit_code(), 0) << application.err;
  EXPECT_EQ(application.out, python3.out) << application.err;
}

// Under a German desktop (a locale made for the test, with LOCPATH).
TEST(LikePython3Locale, EnglishDatesAndNumbersUnderAnyDesktopLanguage) {
  if (!std::filesystem::exists("/usr/share/i18n/locales/de_DE")) {
    GTEST_SKIP() << "no de_DE locale source (Debian's locales package) here";
  }
  XdgTree tree;
  const std::string locales = tree.path("locales");
  std::filesystem::create_directory(locales);
  auto made = run_child({"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8",
                         locales + "/de_DE.UTF-8"});
  ASSERT_EQ(made.exit_code(), 0) << made.out << made.err;
  const std::string program = std::string(NORVALE_E2E_PROGRAMS) + "/locale_independent.py";
  ChildOptions options;
  options.env = norvale_test::runner_env(tree);
  options.env["NORVALE_FLUTTER_CLOSE_WINDOW"] = std::nullopt;
  options.env["PYTHONHOME"] = std::nullopt;
  options.env["LOCPATH"] = locales;
  options.env["LC_ALL"] = std::nullopt;
  options.env["LANG"] = "de_DE.UTF-8";
  const ChildResult python3 = run_child({NORVALE_PYTHON3, program}, options);
  options.env["NORVALE_APP_PROGRAM"] = program;
  const ChildResult application =
      run_child({NORVALE_WITH_DISPLAY, "--", NORVALE_PARITY_BUNDLE "/bin/runner"}, options);
  ASSERT_EQ(python3.exit_code(), 0) << python3.err;
  EXPECT_EQ(application.exit_code(), 0) << application.err;
  EXPECT_EQ(application.out, python3.out);
  EXPECT_NE(python3.out.find("('de_DE', 'UTF-8')"), std::string::npos) << python3.out;
}

// The application's interpreters (the program's, and those it starts) take
// nothing from the user's site-packages or a PYTHONPATH of the desktop; the
// environment handed to the program's children keeps the latter.
TEST(EndToEnd, NothingFromOutsideTheBundleIsImported) {
  XdgTree tree;
  char version[16];
  std::snprintf(version, sizeof version, "%d.%d", NORVALE_PYTHON_MAJOR, NORVALE_PYTHON_MINOR);
  const std::string user_site = tree.path("home/.local/lib/python") + version + "/site-packages";
  const std::string pythonpath = tree.path("pythonpath");
  for (const std::string& dir : {user_site, pythonpath}) std::filesystem::create_directories(dir);
  std::ofstream(user_site + "/from_user_site.py") << "\n";
  std::ofstream(pythonpath + "/from_pythonpath.py") << "\n";
  ChildOptions options;
  options.env = norvale_test::runner_env(tree);
  options.env["NORVALE_FLUTTER_CLOSE_WINDOW"] = std::nullopt;
  options.env["PYTHONHOME"] = std::nullopt;
  options.env["HOME"] = tree.path("home");
  options.env["PYTHONPATH"] = pythonpath;
  options.env["EXPECTED_PYTHONPATH"] = pythonpath;
  options.env["NORVALE_APP_PROGRAM"] = std::string(NORVALE_E2E_PROGRAMS) + "/outside_paths.py";
  const ChildResult run =
      run_child({NORVALE_WITH_DISPLAY, "--", NORVALE_PARITY_BUNDLE "/bin/runner"}, options);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(run.out,
            "main []\nfork []\nspawn []\nforkserver []\nsubprocess []\n"
            "PYTHONPATH kept True\nPYTHONNOUSERSITE None\n")
      << run.err;
  // The same program under python3 finds both: the test puts them in reach.
  const ChildResult python3 = run_child({NORVALE_PYTHON3, "-c",
                                         "import from_user_site, from_pythonpath"},
                                        options);
  EXPECT_EQ(python3.exit_code(), 0) << python3.err;
}

// A handler that waits for the main thread's answer when the main thread
// fails: the program and the application still end, the handler abandoned.
TEST(EndToEnd, TheProgramEndsWhileAHandlerIsBlocked) {
  XdgTree tree;
  AppRunOptions options;
  options.runner = NORVALE_PARITY_BUNDLE "/bin/runner";
  options.env["NORVALE_APP_PROGRAM"] = std::string(NORVALE_E2E_PROGRAMS) + "/blocked_delivery.py";
  AppRun run(tree, options);
  ASSERT_TRUE(run.wait_for("app-received", {"1", "ready"})) << run.describe();
  run.step("send echo\tthe handler blocks");
  EXPECT_TRUE(exited_with(run.finish(), 1)) << run.describe();
  EXPECT_NE(run.err().find("RuntimeError: the main thread gives up\n"), std::string::npos)
      << run.describe();
  EXPECT_NE(run.err().find("[kestrune_run] 1 message handler call still running"),
            std::string::npos)
      << run.describe();
  EXPECT_EQ(desktop_files_left(tree), std::vector<std::string>{});
}

}  // namespace
