// The Debian package as users get it: what lintian, appstreamcli and
// desktop-file-validate say of it, what it lays out, and the application
// started through its launcher after dpkg installed it (in a private mount
// namespace, over the machine's own /usr, /var and /etc, which stay as they
// are): the window comes up and no per-user desktop entry is written, since
// the system-wide one is there.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app_run.h"
#include "installed_checks.h"

namespace {

using e2e_test::AppRun;
using e2e_test::AppRunOptions;
using norvale_test::read_file;
using norvale_test::run_child;
using norvale_test::TraceLine;
using norvale_test::XdgTree;
using package_test::lines_of;

const std::string kDeb = NORVALE_PACKAGE_FILE;
const std::string kEntry = "usr/share/applications/" NORVALE_APPLICATION_ID ".desktop";

// The package's files, unpacked into the tree.
std::string unpack(const XdgTree& tree) {
  const std::string root = tree.path("unpacked");
  auto result = run_child({"/usr/bin/dpkg-deb", "-x", kDeb, root});
  if (result.exit_code() != 0) {
    ADD_FAILURE() << result.out << result.err;
    return "";
  }
  return root;
}

TEST(DebianPackage, LintianFindsNothing) { package_test::expect_lintian_clean(kDeb); }

TEST(DebianPackage, EveryLintianOverrideGivesItsReason) {
  XdgTree tree;
  const std::string root = unpack(tree);
  ASSERT_FALSE(root.empty());
  package_test::expect_overrides_with_reasons(root +
                                              "/usr/share/lintian/overrides/" NORVALE_PACKAGE_NAME);
}

TEST(DebianPackage, MetainfoAndDesktopEntriesValidate) {
  XdgTree tree;
  const std::string root = unpack(tree);
  ASSERT_FALSE(root.empty());
  auto appstream = run_child({"/usr/bin/appstreamcli", "validate", "--no-net", "--pedantic",
                              root + "/usr/share/metainfo/" NORVALE_APPLICATION_ID ".metainfo.xml"});
  EXPECT_EQ(appstream.exit_code(), 0) << appstream.out << appstream.err;
  for (const auto& line : lines_of(appstream.out)) {
    EXPECT_FALSE(line.size() > 1 && line[1] == ':') << appstream.out;
  }
  for (const std::string& entry :
       {root + "/" + kEntry,
        root + NORVALE_PACKAGE_DIR "/share/applications/" NORVALE_APPLICATION_ID ".desktop"}) {
    auto validate = run_child({"/usr/bin/desktop-file-validate", entry});
    EXPECT_EQ(validate.exit_code(), 0) << entry << validate.out << validate.err;
    EXPECT_EQ(validate.out + validate.err, "") << entry;
  }
}

TEST(DebianPackage, LaysOutTheBundleLauncherEntryIconAndComputedDependencies) {
  XdgTree tree;
  const std::string root = unpack(tree);
  ASSERT_FALSE(root.empty());
  const std::string launcher = root + "/usr/bin/" NORVALE_LAUNCHER;
  ASSERT_TRUE(std::filesystem::is_symlink(launcher));
  EXPECT_EQ(std::filesystem::weakly_canonical(std::filesystem::path("/usr/bin") /
                                              std::filesystem::read_symlink(launcher)),
            NORVALE_PACKAGE_DIR "/bin/runner");
  EXPECT_TRUE(std::filesystem::is_regular_file(root + NORVALE_PACKAGE_DIR "/bin/runner"));

  // The system-wide entry is visible and starts the launcher.
  const std::string entry = read_file(root + "/" + kEntry);
  EXPECT_NE(entry.find("\nExec=" NORVALE_LAUNCHER " "), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nIcon=" NORVALE_APPLICATION_ID "\n"), std::string::npos) << entry;
  EXPECT_EQ(entry.find("NoDisplay"), std::string::npos) << entry;
  const std::string icon =
      read_file(root + "/usr/share/icons/hicolor/256x256/apps/" NORVALE_APPLICATION_ID ".png");
  EXPECT_EQ(icon.rfind("\x89PNG", 0), 0u);
  EXPECT_EQ(icon.substr(16, 8), std::string("\0\0\1\0\0\0\1\0", 8)) << "not 256x256";

  // Dependencies as dpkg-shlibdeps found them: with the interpreter in the
  // package, down to the libraries that only the bundled standard library's
  // extension modules use; without it, the distribution's libpython3.X,
  // which brings its standard library and their libraries. Since Debian 13
  // some libraries carry the "t64" suffix of the 64-bit time_t transition.
  auto depends = run_child({"/usr/bin/dpkg-deb", "--field", kDeb, "Depends"});
  ASSERT_EQ(depends.exit_code(), 0) << depends.err;
  std::vector<std::string> expected = {"libc6", "libgtk-3-0"};
  if (NORVALE_PACKAGE_EMBEDS_PYTHON) {
    expected.insert(expected.end(), {"libssl3", "libsqlite3-0", "libffi8", "liblzma5", "libbz2-1.0"});
  } else {
    expected.push_back("libpython" NORVALE_PYTHON_MAJOR_MINOR);
  }
  for (const std::string& package : expected) {
    EXPECT_TRUE(depends.out.find(package + " (>= ") != std::string::npos ||
                depends.out.find(package + "t64 (>= ") != std::string::npos ||
                (package == "libbz2-1.0" && depends.out.find(package) != std::string::npos))
        << package << " in " << depends.out;
  }
  // The interpreter is in the package exactly when the package does not
  // depend on the distribution's.
  EXPECT_EQ(std::filesystem::exists(root + NORVALE_PACKAGE_DIR "/lib/" NORVALE_PYTHON_ZIP_NAME),
            NORVALE_PACKAGE_EMBEDS_PYTHON);
  EXPECT_EQ(depends.out.find("libpython") == std::string::npos, NORVALE_PACKAGE_EMBEDS_PYTHON)
      << depends.out;
}

TEST(DebianPackage, InstalledWithDpkgStartsTheWindowAndWritesNoUserEntry) {
  XdgTree tree;
  const std::string scratch = tree.path("overlay");
  std::filesystem::create_directory(scratch);
  // Over /usr, /var and /etc an overlay whose changes vanish with the
  // namespace; dpkg installs the package there, with its triggers.
  const std::string install_then_run =
      "mount -t tmpfs none \"$0\" && for d in usr var etc; do "
      "mkdir \"$0/$d\" \"$0/$d.work\" && mount -t overlay overlay "
      "-o lowerdir=/$d,upperdir=\"$0/$d\",workdir=\"$0/$d.work\" /$d || exit 97; done; "
      "dpkg -i \"$1\" >\"$0/dpkg.log\" 2>&1 || { cat \"$0/dpkg.log\" >&2; exit 98; }; "
      "dpkg-query -W -f='${Status}' " NORVALE_PACKAGE_NAME " | grep -q 'install ok installed' "
      "|| exit 99; shift; exec \"$@\"";
  AppRunOptions options;
  options.runner = "/usr/bin/" NORVALE_LAUNCHER;
  options.wrapper = {"unshare", "-m", "sh", "-c", install_then_run, scratch, kDeb};
  options.env["PYTHONHOME"] = std::nullopt;
  options.env["PYTHONDONTWRITEBYTECODE"] = std::nullopt;
  AppRun run(tree, options);
  TraceLine python;
  ASSERT_TRUE(run.wait_for("app-window-mapped")) << run.describe();
  ASSERT_TRUE(run.wait_for("app-received", {"1", "python"}, &python)) << run.describe();
  ASSERT_GE(python.values.size(), 4u);
  // sys.prefix: the bundle's own interpreter, or the distribution's.
  EXPECT_EQ(python.values[3],
            NORVALE_PACKAGE_EMBEDS_PYTHON ? NORVALE_PACKAGE_DIR : NORVALE_PYTHON_RUNTIME_PREFIX);
  ASSERT_TRUE(run.click("quit")) << run.describe();
  const int status = run.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << run.describe();
  EXPECT_EQ(e2e_test::desktop_files_left(tree), std::vector<std::string>{});
  EXPECT_FALSE(std::filesystem::exists(tree.path("data-home/applications/" NORVALE_APPLICATION_ID
                                                 ".desktop")));
  EXPECT_EQ(norvale_test::unexpected_stderr(run.err()), "");
}

}  // namespace
