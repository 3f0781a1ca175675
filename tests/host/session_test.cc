// One interpreter session: every way a fresh start can end, with what it
// writes, and what the program finds in sys.argv and sys.path.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "child_process.h"
#include "dart_side.h"
#include "scenario.h"

namespace {

using namespace norvale_test;
namespace fs = std::filesystem;

// A scratch directory that the scenario process creates beside the test.
std::string scratch(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("norvale_session_" + std::to_string(getpid()));
  fs::create_directories(dir);
  return (dir / name).string();
}

std::string write_file(const std::string& name, const std::string& text) {
  std::string path = scratch(name);
  std::ofstream(path) << text;
  return path;
}

struct SessionCase {
  const char* name;
  std::function<RunRequest()> request;
  int result;
  // Standard error must equal `err`, or contain every one of `err_has`.
  std::optional<std::string> err;
  std::vector<std::string> err_has;
  std::string out = "";
};

const std::vector<SessionCase>& session_cases() {
  static const std::vector<SessionCase> cases = {
      {"env_empty_name", [] { return std::move(RunRequest().source("pass").env("NORVALE_FIRST", "1").env("", "x")); },
       1, "[kestrune_run] failed to set env var \n", {}},
      {"env_name_with_equals", [] { return std::move(RunRequest().source("pass").env("A=B", "x")); },
       1, "[kestrune_run] failed to set env var A=B\n", {}},
      {"argv_not_utf8", [] { return std::move(RunRequest().source("pass").program_name("bad\xff")); },
       1, std::nullopt, {"UnicodeDecodeError"}},
      {"module_path_not_utf8", [] { return std::move(RunRequest().source("pass").module_paths({"/tmp", "bad\xff"})); },
       1, std::nullopt, {"UnicodeDecodeError", "\n[kestrune_run] sys.path injection failed\n"}},
      {"source_absent", [] { return std::move(RunRequest().mode(1)); }, 1, "", {}},
      {"source_syntax_error", [] { return std::move(RunRequest().source("def (:\n")); },
       1, std::nullopt, {"File \"<kestrune_script>\", line 1\n", "\nSyntaxError: invalid syntax\n"}},
      {"source_raises", [] { return std::move(RunRequest().source("x = 1\nraise KeyError('k')\n")); },
       1, std::nullopt, {"Traceback (most recent call last):\n", "File \"<kestrune_script>\", line 2", "KeyError: 'k'\n"}},
      {"source_runs", [] { return std::move(RunRequest().source("print('ran')")); }, 0, "", {}, "ran\n"},
      {"path_absent", [] { return std::move(RunRequest().mode(0)); }, 1, "", {}},
      {"path_unopenable", [] { return std::move(RunRequest().script("/nonexistent/dir/prog.py")); },
       1, "[kestrune_run] cannot open /nonexistent/dir/prog.py\n", {}},
      {"path_is_a_directory", [] { return std::move(RunRequest().script(fs::temp_directory_path().string())); },
       1, "", {}},
      {"script_empty", [] { return std::move(RunRequest().script(write_file("empty.py", ""))); }, 0, "", {}},
      {"script_runs", [] { return std::move(RunRequest().script(write_file("ok.py", "import sys\nprint(sys.argv)\n"))); },
       0, "", {}, "['python']\n"},
      {"script_raises", [] { return std::move(RunRequest().script(write_file("bad.py", "pass\nraise OSError('o')\n"))); },
       1, std::nullopt, {"bad.py\", line 2", "OSError: o\n"}},
      // The interpreter's own error display, not its fallback: the line, the
      // text and where in it.
      {"script_syntax_error", [] { return std::move(RunRequest().script(write_file("broken.py", "pass\ndef broken(:\n"))); },
       1, std::nullopt, {"broken.py\", line 2\n    def broken(:\n               ^\nSyntaxError: invalid syntax\n"}},
      {"system_exit", [] { return std::move(RunRequest().source("raise SystemExit(3)")); }, 3, "", {}},
  };
  return cases;
}

// Each case runs in a process of its own; the session must end with the
// interpreter finalised.
[[maybe_unused]] const bool session_cases_registered = [] {
  for (const SessionCase& c : session_cases()) {
    scenarios()[c.name] = [&c] {
      int result = c.request().run_sync();
      SCENARIO_CHECK(norvale_is_python_initialized() == 0);
      if (std::string(c.name) == "env_empty_name") {
        SCENARIO_CHECK(getenv("NORVALE_FIRST") != nullptr);
      }
      return result;
    };
  }
  return true;
}();

void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.name; }

class FreshStart : public testing::TestWithParam<SessionCase> {};

TEST_P(FreshStart, EndsWithItsResultAndMessages) {
  const SessionCase& c = GetParam();
  auto result = run_scenario(c.name);
  EXPECT_EQ(result.exit_code(), c.result) << result.err;
  if (c.err) {
    EXPECT_EQ(result.err, *c.err);
  }
  for (const std::string& part : c.err_has) {
    EXPECT_NE(result.err.find(part), std::string::npos) << "missing: " << part << "\n" << result.err;
  }
  EXPECT_EQ(result.out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Session, FreshStart, testing::ValuesIn(session_cases()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

NORVALE_SCENARIO(argv_is_the_program_name) {
  return RunRequest()
      .program_name("my prog \u00e9")
      .source("import sys\nassert sys.argv == ['my prog \\u00e9'], sys.argv\n")
      .run_sync();
}

TEST(Session, ArgvHoldsExactlyTheProgramName) {
  auto result = run_scenario("argv_is_the_program_name");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

constexpr const char kPathCheck[] = R"(
import os, sys
requested = os.environ["REQUESTED"].split(os.pathsep)
assert sys.path[:len(requested)] == requested, sys.path
norm = lambda p: os.path.normcase(os.path.abspath(p))
rest = [norm(p) for p in sys.path[len(requested):]]
for p in requested:
    # Only the requested spelling remains, at the front.
    assert norm(p) not in rest, (p, sys.path)
# site.addsitedir ran for the existing directory: its .pth file was read.
assert os.environ["PTH_TARGET"] in sys.path, sys.path
g = globals()
assert "_kestrune_paths" not in g and "_kestrune_norm" not in g and "_p" not in g
)";

NORVALE_SCENARIO(module_paths_go_to_the_front) {
  std::string site_dir = scratch("site");
  std::string target = scratch("from_pth");
  fs::create_directories(site_dir);
  fs::create_directories(target);
  std::ofstream(site_dir + "/extra.pth") << target << "\n";
  std::string respelled = site_dir + "/../site";
  std::string missing = scratch("does_not_exist");
  // The existing directory is on sys.path already, spelled differently.
  return RunRequest()
      .env("PYTHONPATH", site_dir)
      .module_paths({respelled, missing})
      .env("REQUESTED", respelled + ":" + missing)
      .env("PTH_TARGET", target)
      .source(kPathCheck)
      .run_sync();
}

TEST(Session, ModulePathsStandAtTheFrontOnceAndExistingOnesAreSiteDirs) {
  auto result = run_scenario("module_paths_go_to_the_front");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

constexpr const char kPrintPath[] = "import sys\nprint(sys.path)\n";

NORVALE_SCENARIO(path_without_module_paths) {
  return RunRequest().source(kPrintPath).run_sync();
}
NORVALE_SCENARIO(path_with_empty_module_paths) {
  return RunRequest().module_paths({}).source(kPrintPath).run_sync();
}

TEST(Session, AbsentAndEmptyModulePathsLeaveSysPathAsBuilt) {
  auto absent = run_scenario("path_without_module_paths");
  auto empty = run_scenario("path_with_empty_module_paths");
  EXPECT_EQ(absent.exit_code(), 0) << absent.err;
  EXPECT_EQ(empty.exit_code(), 0) << empty.err;
  EXPECT_NE(absent.out, "");
  EXPECT_EQ(absent.out, empty.out);
}

}  // namespace
