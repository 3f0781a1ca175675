// The entry through which the executable serves as the interpreter of
// multiprocessing children.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "norvale.h"
#include "scenario.h"

namespace {

using namespace norvale_test;

struct MpCase {
  const char* name;
  std::vector<const char*> argv;  // nullptr entries stand for null pointers
  int32_t expected;
};

const std::vector<MpCase> kMpCases = {
    {"only_program_name", {"runner"}, 0},
    {"fork_flag_at_1", {"runner", "--multiprocessing-fork"}, 1},
    {"fork_flag_later", {"runner", "-B", "x", "--multiprocessing-fork", "tracker_fd=5"}, 1},
    {"fork_flag_at_0_only", {"--multiprocessing-fork"}, 0},
    {"fork_flag_at_0_with_args", {"--multiprocessing-fork", "x"}, 0},
    {"fork_flag_with_suffix", {"runner", "--multiprocessing-forkserver"}, 0},
    {"fork_flag_other_case", {"runner", "--Multiprocessing-Fork"}, 0},
    {"c_from_multiprocessing", {"runner", "-c", "from multiprocessing.spawn import spawn_main"}, 1},
    {"c_import_sys_form", {"runner", "-B", "-c", "import sys; from multiprocessing.forkserver import main"}, 1},
    {"c_without_final_dot", {"runner", "-c", "from multiprocessing import x"}, 0},
    {"c_prefix_only", {"runner", "-c", "from multiprocessing."}, 1},
    {"c_leading_blank", {"runner", "-c", " from multiprocessing.spawn"}, 0},
    {"c_last", {"runner", "-c"}, 0},
    {"c_upper_case", {"runner", "-C", "from multiprocessing.spawn"}, 0},
    {"c_ordinary_code", {"runner", "-c", "print(1)"}, 0},
    {"code_without_c", {"runner", "from multiprocessing.spawn"}, 0},
    {"c_then_fork_flag", {"runner", "-c", "--multiprocessing-fork"}, 1},
    {"c_followed_by_c", {"runner", "-c", "-c", "from multiprocessing.x"}, 1},
    {"c_followed_by_null", {"runner", "-c", nullptr, "--multiprocessing-fork"}, 1},
    {"null_before_match", {"runner", nullptr, "--multiprocessing-fork"}, 1},
    {"c_last_then_null", {"runner", "-c", nullptr}, 0},
};

void PrintTo(const MpCase& c, std::ostream* os) { *os << c.name; }

class MpInvocation : public testing::TestWithParam<MpCase> {};

TEST_P(MpInvocation, RecognisesChildCommandLines) {
  const MpCase& c = GetParam();
  std::vector<char*> argv;
  for (const char* arg : c.argv) argv.push_back(const_cast<char*>(arg));
  argv.push_back(nullptr);
  EXPECT_EQ(kestrune_is_mp_invocation(static_cast<int32_t>(c.argv.size()), argv.data()),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(Entry, MpInvocation, testing::ValuesIn(kMpCases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(MpInvocationEdges, NullVectorAndShortCountsAreNoChild) {
  char fork[] = "--multiprocessing-fork";
  char* argv[] = {fork, fork, nullptr};
  EXPECT_EQ(kestrune_is_mp_invocation(2, nullptr), 0);
  EXPECT_EQ(kestrune_is_mp_invocation(1, argv), 0);
  EXPECT_EQ(kestrune_is_mp_invocation(0, argv), 0);
  EXPECT_EQ(kestrune_is_mp_invocation(-1, argv), 0);
  EXPECT_EQ(kestrune_is_mp_invocation(2, argv), 1);
}

// Runs kestrune_main on "child -c CODE" with CODE from the environment.
NORVALE_SCENARIO(child_main) {
  const char* code = getenv("CHILD_CODE");
  std::string program = "child";
  std::string flag = "-c";
  std::string text = code != nullptr ? code : "";
  char* argv[] = {program.data(), flag.data(), text.data(), nullptr};
  return kestrune_main(3, argv);
}

constexpr const char kChildCode[] = R"(
import os, sys, norvale
assert "PYTHONINSPECT" not in os.environ
assert "norvale" in sys.builtin_module_names
try:
    norvale.send_bytes(1, b"x")
except RuntimeError as e:
    print(e)
sys.stdout.write("unflushed tail")
sys.exit(int(os.environ.get("CHILD_STATUS", "0")))
)";

TEST(ChildMain, RunsAPlainInterpreterWithNorvaleAndFlushesAtExit) {
  ChildOptions options;
  options.env = {{"CHILD_CODE", kChildCode}, {"PYTHONINSPECT", "1"}, {"CHILD_STATUS", "5"}};
  auto result = run_scenario("child_main", options);
  EXPECT_EQ(result.exit_code(), 5) << result.err;
  EXPECT_EQ(result.out,
            "Dart API DL not initialized (call Norvale_InitDartApiDL from Dart first)\n"
            "unflushed tail");
  EXPECT_EQ(result.err, "");
}

TEST(ChildMain, EmptyPythonPathCountsAsPresent) {
  ChildOptions options;
  options.env = {{"CHILD_CODE", "print('child ran')"}, {"PYTHONHOME", std::nullopt},
                 {"PYTHONPATH", ""}};
  auto result = run_scenario("child_main", options);
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out, "child ran\n");
}

TEST(ChildMain, WithoutPythonHomeOrPathItRefusesWith64) {
  ChildOptions options;
  options.env = {{"CHILD_CODE", "print('must not run')"}, {"PYTHONHOME", std::nullopt},
                 {"PYTHONPATH", std::nullopt}};
  auto result = run_scenario("child_main", options);
  EXPECT_EQ(result.exit_code(), 64);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "[kestrune_main] neither PYTHONHOME nor PYTHONPATH is set; the embedded stdlib "
            "cannot be located. multiprocessing children must inherit the host app's "
            "environment.\n");
}

TEST(ChildMain, UncaughtExceptionsShowInTheStatus) {
  ChildOptions options;
  options.env = {{"CHILD_CODE", "raise ValueError('child failed')"}};
  auto result = run_scenario("child_main", options);
  EXPECT_EQ(result.exit_code(), 1);
  EXPECT_NE(result.err.find("ValueError: child failed"), std::string::npos) << result.err;
}

}  // namespace
