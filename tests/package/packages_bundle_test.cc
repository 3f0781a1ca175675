// An application whose program needs real packages from PyPI (numpy with
// its OpenBLAS, pydantic, cryptography, Pillow, certifi, psutil), a local
// wheel and a local folder: the whole project built with the tests' program
// (packages/program) by the fixture package.packages_bundle, installed and
// packaged. Its programs run in the installed bundle as the application
// runs them, read-only, with the build's Python hidden.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app_run.h"
#include "installed_checks.h"

namespace {

using e2e_test::AppRun;
using e2e_test::AppRunOptions;
using e2e_test::exited_with;
using norvale_test::read_file;
using norvale_test::run_child;
using norvale_test::XdgTree;
using package_test::lines_of;

const std::string kWork = NORVALE_PACKAGES_WORK;
const std::string kInstalled = kWork + "/installed";
const std::string kSitePackages = kInstalled + "/" NORVALE_PYTHON_SITE_PACKAGES;
const std::string kProgram = kInstalled + "/share/norvale/program";
const std::string kDeb = kWork + "/build/package/" NORVALE_PACKAGE_NAME "_0.1.0_amd64.deb";

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The application started from the installed bundle with `program`,
// the install read-only and the build's Python gone.
AppRunOptions read_only_run(const std::string& program) {
  AppRunOptions options;
  options.runner = kInstalled + "/bin/runner";
  options.wrapper = package_test::hiding_builds_python_and_protecting(kInstalled);
  options.env["NORVALE_APP_PROGRAM"] = program;
  // As on a user's machine.
  options.env["PYTHONHOME"] = std::nullopt;
  options.env["PYTHONDONTWRITEBYTECODE"] = std::nullopt;
  return options;
}

TEST(BundleWithPackages, InstallsEveryDistributionLeanWithItsMetadata) {
  // pip's choice for this CPython, and what the markers leave out.
  std::set<std::string> dist_infos;
  for (const auto& entry : std::filesystem::directory_iterator(kSitePackages)) {
    const std::string name = entry.path().filename().string();
    if (ends_with(name, ".dist-info")) dist_infos.insert(name.substr(0, name.find('-')));
  }
  for (const char* wanted : {"numpy", "pydantic", "pydantic_core", "cryptography", "pillow",
                             "certifi", "psutil", "norvale_zstd_probe", "norvale_local_probe"}) {
    EXPECT_EQ(dist_infos.count(wanted), 1u) << wanted;
  }
  EXPECT_EQ(dist_infos.count("colorama"), 0u);
  // No scripts naming the build's interpreter, no state of the build.
  EXPECT_FALSE(std::filesystem::exists(kSitePackages + "/bin"));
  EXPECT_FALSE(std::filesystem::exists(kSitePackages + "/.norvale-requirements"));

  // Every module has its bytecode beside it, not checked against the
  // source (flags 1), so that nothing is read or compiled at import.
  int modules = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kSitePackages)) {
    const auto& path = entry.path();
    if (path.extension() != ".py") continue;
    ++modules;
    const auto pyc = path.parent_path() / "__pycache__" /
                     (path.stem().string() + "." NORVALE_PYTHON_CACHE_TAG ".pyc");
    const std::string header = read_file(pyc.string()).substr(0, 8);
    ASSERT_EQ(header.size(), 8u) << pyc;
    EXPECT_EQ(header.substr(4), std::string("\x01\0\0\0", 4)) << pyc;
  }
  EXPECT_GT(modules, 500);

  // Libraries and modules are not executable; what lintian would call
  // a shared library is plain data to the loader.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kSitePackages)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || (!ends_with(name, ".py") && name.find(".so") == std::string::npos)) {
      continue;
    }
    EXPECT_EQ(entry.status().permissions() & std::filesystem::perms::owner_exec,
              std::filesystem::perms::none)
        << entry.path();
  }
  // The wheels' binaries, their own libraries (numpy.libs, pillow.libs)
  // included, are stripped, and search for libraries only in the bundle.
  EXPECT_GT(package_test::expect_lean_elf_files(kInstalled, kWork + "/build/debug"), 60);
  EXPECT_EQ(read_file(NORVALE_PACKAGES_WORK "/build/python/lean-site-packages.unstripped.txt"), "");
}

TEST(BundleWithPackages, ProgramUsesThePackagesFromAReadOnlyInstallWithTheBuildsPythonHidden) {
  XdgTree tree;
  AppRun run(tree, read_only_run(kProgram + "/main.py"));
  EXPECT_TRUE(exited_with(run.finish(), 0)) << run.describe();
  const std::vector<std::string> expected = {
      "numpy solve [0.8, 1.4] with OpenBLAS inside the bundle",
      "pydantic Ada 36, refused ('age',)",
      "fernet norvale (token of 100 bytes)",
      "pillow (64, 48) -> (16, 12) JPEG True",
      "certifi inside the bundle, True",
      "metadata numpy True, missing [], colorama False",
      "entry point f2py ['numpy.f2py.f2py2e:main'] loads True",
      "entry point local ['hello from a local folder']",
      "local wheel zstd True, local folder 'hello from a local folder'",
      "libraries from elsewhere []",
      "sys.path outside the bundle []",
      "executable inside the bundle True",
      "compiled []",
  };
  EXPECT_EQ(lines_of(run.out()), expected) << run.describe();
}

// Each interpreter's line: where its numpy comes from, a computation, the
// modules from outside the bundle it can import, the sys.path entries
// outside the bundle, and the modules it compiled.
const char kEveryInterpreter[] =
    "numpy=bundle sum=53 leaks=none path=inside compiled=0";

std::vector<std::string> every_interpreter_expected() {
  std::vector<std::string> expected;
  for (const char* who : {"main", "spawn", "forkserver", "fork", "executor", "subprocess"}) {
    expected.push_back(std::string(who) + " " + kEveryInterpreter);
  }
  return expected;
}

TEST(BundleWithPackages, EveryInterpreterThatTheApplicationStartsUsesThePackages) {
  XdgTree tree;
  AppRun run(tree, read_only_run(kProgram + "/children.py"));
  EXPECT_TRUE(exited_with(run.finish(), 0)) << run.describe();
  EXPECT_EQ(lines_of(run.out()), every_interpreter_expected()) << run.describe();
  EXPECT_EQ(run.err().find("Traceback"), std::string::npos) << run.err();
}

// Where a desktop may put modules in reach of every Python: a module of
// the same name as one of the bundle's packages, and a probe.
struct OutsideCase {
  const char* name;
  bool user_site;    // in ~/.local/lib/python3.X/site-packages (HOME is the tree's)
  bool python_path;  // in a folder that PYTHONPATH names
};

void PrintTo(const OutsideCase& c, std::ostream* os) { *os << c.name; }

void plant_outsiders(const std::string& directory) {
  std::filesystem::create_directories(directory);
  std::ofstream(directory + "/numpy.py") << "raise ImportError('numpy from outside the bundle')\n";
  std::ofstream(directory + "/norvale_leak_probe.py") << "LEAKED = True\n";
}

class OutsideTheBundle : public testing::TestWithParam<OutsideCase> {};

TEST_P(OutsideTheBundle, NothingReachesAnyInterpreterThatTheApplicationStarts) {
  XdgTree tree;
  AppRunOptions options = read_only_run(kProgram + "/children.py");
  if (GetParam().user_site) {
    plant_outsiders(tree.path("home/.local/lib/python" NORVALE_PYTHON_MAJOR_MINOR "/site-packages"));
  }
  if (GetParam().python_path) {
    plant_outsiders(tree.path("pythonpath"));
    options.env["PYTHONPATH"] = tree.path("pythonpath");
  }
  AppRun run(tree, options);
  EXPECT_TRUE(exited_with(run.finish(), 0)) << run.describe();
  EXPECT_EQ(lines_of(run.out()), every_interpreter_expected()) << run.describe();
}

const OutsideCase kOutsideCases[] = {
    {"UserSitePackages", true, false},
    {"PythonPath", false, true},
};

INSTANTIATE_TEST_SUITE_P(BundleWithPackages, OutsideTheBundle, testing::ValuesIn(kOutsideCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(BundleWithPackages, DebianPackageCarriesThePackagesAndDependsOnWhatTheirLibrariesNeed) {
  auto contents = run_child({"/usr/bin/dpkg-deb", "--contents", kDeb});
  ASSERT_EQ(contents.exit_code(), 0) << contents.err;
  for (const char* part : {"/numpy/_core/__pycache__/", "/numpy.libs/libscipy_openblas",
                           "/pillow.libs/", "/pydantic_core/_pydantic_core.",
                           "/cryptography/hazmat/bindings/_rust.abi3.so",
                           "/norvale_zstd_probe/libnorvale_zstd_probe.so"}) {
    EXPECT_NE(contents.out.find(NORVALE_PYTHON_SITE_PACKAGES + std::string(part)),
              std::string::npos)
        << part;
  }
  // The local wheel's library links zstd, which nothing else in the bundle
  // does: dpkg-shlibdeps found it through the packages.
  auto depends = run_child({"/usr/bin/dpkg-deb", "--field", kDeb, "Depends"});
  ASSERT_EQ(depends.exit_code(), 0) << depends.err;
  EXPECT_NE(depends.out.find("libzstd1 (>= "), std::string::npos) << depends.out;

  // The wheels draw lintian's attention (vendored libraries, their
  // folders' names, extension modules): each override is written where
  // it is needed and says why.
  package_test::expect_lintian_clean(kDeb);
  XdgTree tree;
  ASSERT_EQ(run_child({"/usr/bin/dpkg-deb", "-x", kDeb, tree.path("unpacked")}).exit_code(), 0);
  package_test::expect_overrides_with_reasons(
      tree.path("unpacked/usr/share/lintian/overrides/" NORVALE_PACKAGE_NAME));
}

}  // namespace
