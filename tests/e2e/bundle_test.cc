// The bundle stands on its own: with the build's Python installation hidden
// (a private mount namespace with empty file systems over it),
// runner still starts the program from the bundle's own interpreter, which
// imports the bundle's standard library and runs its pool. And the README's
// demo command, without a display, leaves its screenshot and transcript.

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>

#include "app_run.h"

namespace {

using namespace e2e_test;
using norvale_test::read_file;
using norvale_test::ChildOptions;
using norvale_test::run_child;

bool can_hide_directories() {
  return run_child({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs none /mnt"})
             .exit_code() == 0;
}

// An installed bundle, moved elsewhere after installation.
std::string install_and_move(const XdgTree& tree) {
  auto install = run_child({NORVALE_CMAKE_COMMAND, "--install", NORVALE_BINARY_DIR, "--prefix",
                            tree.path("installed")});
  if (install.exit_code() != 0) {
    ADD_FAILURE() << install.out << install.err;
    return "";
  }
  std::filesystem::rename(tree.path("installed"), tree.path("moved"));
  return tree.path("moved");
}

struct BundleCase {
  const char* name;
  bool installed;  // else the build tree's bundle
};

// Test names and failure messages show the case by its name.
void PrintTo(const BundleCase& c, std::ostream* os) { *os << c.name; }

class SelfContainedBundle : public testing::TestWithParam<BundleCase> {};

TEST_P(SelfContainedBundle, RunsTheProgramWithTheBuildsPythonHidden) {
  if (!can_hide_directories()) GTEST_SKIP() << "no private mount namespaces here";
  XdgTree tree;
  const std::string bundle = GetParam().installed ? install_and_move(tree) : NORVALE_BUNDLE_DIR;
  ASSERT_FALSE(bundle.empty());
  // Installed, the pure-Python standard library is bytecode in the archive.
  const char* stdlib = GetParam().installed ? "lib/" NORVALE_PYTHON_ZIP_NAME
                                            : "lib/" NORVALE_PYTHON_STDLIB_NAME "/os.py";
  for (const char* part : {stdlib, "lib/" NORVALE_PYTHON_STDLIB_NAME "/lib-dynload",
                           "lib/libapp.so", "lib/libdart_vm_standin.so",
                           "share/norvale/program/main.py"}) {
    EXPECT_TRUE(std::filesystem::exists(bundle + "/" + part)) << part;
  }
  for (const char* absent : {"test", "idlelib", "tkinter", "ensurepip", "__pycache__"}) {
    EXPECT_FALSE(std::filesystem::exists(bundle + "/lib/" NORVALE_PYTHON_STDLIB_NAME "/" + absent))
        << absent;
  }

  AppRunOptions options;
  options.runner = bundle + "/bin/runner";
  options.wrapper = hiding_builds_python();
  options.env["PYTHONHOME"] = std::nullopt;
  AppRun run(tree, options);
  TraceLine python, computed;
  ASSERT_TRUE(run.wait_for("app-received", {"1", "python"}, &python)) << run.describe();
  ASSERT_TRUE(run.click("compute")) << run.describe();
  ASSERT_TRUE(run.wait_for("app-received", {"1", "computed"}, &computed)) << run.describe();
  ASSERT_TRUE(run.click("quit")) << run.describe();
  const int status = run.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.describe();

  // "python" VERSION PREFIX OS_FILE SIGINT_HANDLER
  const std::string root = std::filesystem::canonical(bundle).string();
  ASSERT_GE(python.values.size(), 5u);
  EXPECT_EQ(python.values[3], root);
  EXPECT_EQ(python.values[4], root + "/lib/" NORVALE_PYTHON_STDLIB_NAME "/os.py");
  EXPECT_EQ(computed.values[3], "17984");
  EXPECT_EQ(norvale_test::unexpected_stderr(run.err()), "");
}

const BundleCase kBundleCases[] = {{"InstalledAndMoved", true}, {"BuildTree", false}};

INSTANTIATE_TEST_SUITE_P(EndToEnd, SelfContainedBundle, testing::ValuesIn(kBundleCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Width and height from a PNG's header, or {0, 0} when it is none.
std::pair<uint32_t, uint32_t> png_size(const std::string& bytes) {
  const std::string signature = "\x89PNG\r\n\x1a\n";
  if (bytes.size() < 24 || bytes.compare(0, 8, signature) != 0 || bytes.compare(12, 4, "IHDR") != 0) {
    return {0, 0};
  }
  auto be32 = [&](size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
  };
  return {be32(16), be32(20)};
}

TEST(EndToEnd, DemoCommandWithoutADisplayLeavesScreenshotAndTranscript) {
  XdgTree tree;
  ChildOptions options;
  options.env = tree.env();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "NORVALE_FLUTTER_TRACE",
                           "NORVALE_FLUTTER_CLOSE_WINDOW", "NORVALE_APP_PROGRAM",
                           "DBUS_SESSION_BUS_ADDRESS"}) {
    options.env[name] = std::nullopt;
  }
  const std::string out = tree.path("demo");
  auto demo = run_child({NORVALE_DEMO_SCRIPT, NORVALE_BUNDLE_DIR, NORVALE_WITH_DISPLAY, out},
                        options);
  EXPECT_EQ(demo.exit_code(), 0) << demo.out << demo.err;
  EXPECT_EQ(png_size(read_file(out + "/demo.png")), (std::pair<uint32_t, uint32_t>{1280, 1024}));

  const std::string transcript = read_file(out + "/demo-transcript.txt");
  for (const char* line : {"[session 1] python -> dart  ready\tThis machine, live\n",
                           "[session 1] dart -> python  echo\tHello from the Dart side\n",
                           "[session 1] python -> dart  echoed\tHello from the Dart side\n",
                           "[session 1] dart -> python  click\tcompute\n",
                           "[session 1] python -> dart  computed\t200000\t17984\t",
                           "[session 1] dart -> python  click\tquit\n",
                           "[session 1] the program ended with result 0\n"}) {
    EXPECT_NE(transcript.find(line), std::string::npos) << line << "\n" << transcript;
  }
  EXPECT_NE(demo.out.find("demo: bye\n"), std::string::npos) << demo.out;
}

}  // namespace
