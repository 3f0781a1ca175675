// The installed bundle: `cmake --install` lays out the same bundle as the
// build tree, and it runs from wherever it was installed.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "runner_fixture.h"

namespace {

using namespace norvale_test;

TEST(InstalledBundle, HasRunnerAndItsLibrariesAndRunsInPlace) {
  XdgTree tree;
  std::string prefix = tree.path("installed");
  auto install =
      run_child({NORVALE_CMAKE_COMMAND, "--install", NORVALE_BINARY_DIR, "--prefix", prefix});
  ASSERT_EQ(install.exit_code(), 0) << install.out << install.err;

  std::vector<std::string> expected = {"bin/runner",
                                       "lib/libnorvale.so",
                                       "lib/libflutter_linux_gtk.so",
                                       "lib/libaudioplayers_linux_plugin.so",
                                       "lib/libpasteboard_plugin.so",
                                       "lib/libscreen_retriever_linux_plugin.so",
                                       "lib/libkestrune_linux_plugin.so",
                                       "lib/liburl_launcher_linux_plugin.so",
                                       "lib/libwindow_manager_plugin.so",
                                       std::string("lib/") + NORVALE_PYTHON_VERSIONED_NAME};
  for (const std::string& file : expected) {
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix + "/" + file)) << file;
  }

  std::string runner = prefix + "/bin/runner";
  RunnerRun window = run_runner(RunnerOptions().args({"installed"}).runner(runner));
  EXPECT_EQ(window.result.exit_code(), 0) << window.result.err;
  EXPECT_EQ(window.trace.only("dart-entrypoint-arguments"), "installed");
  EXPECT_EQ(window.trace.all("window-report-end").size(), 1u);

  ChildOptions child;
  child.env = runner_env(tree);
  auto interpreter = run_child({runner, "-c",
                                "from multiprocessing.util import debug; import norvale, os; "
                                "print(os.readlink('/proc/self/exe'))"},
                               child);
  EXPECT_EQ(interpreter.exit_code(), 0) << interpreter.err;
  EXPECT_EQ(interpreter.out, std::filesystem::canonical(runner).string() + "\n");
}

}  // namespace
