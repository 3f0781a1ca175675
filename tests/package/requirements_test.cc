// norvale_add_python_program in an application's build of its own
// (packages/requirements_project), with requirements that the tests write:
// what is installed, when pip runs again, and how a failure reads. The
// requirements name a local wheel (made here, with its hash) and a local
// folder, so that only the cases about the package index need the network.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "runner_fixture.h"

namespace {

using norvale_test::ChildOptions;
using norvale_test::ChildResult;
using norvale_test::read_file;
using norvale_test::run_child;
using norvale_test::XdgTree;

const std::string kPackages = NORVALE_PACKAGES_SOURCE;

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// An application's folder in a throwaway tree: its program, a local wheel,
// a local folder, and the build of its own.
class AppBuild {
 public:
  AppBuild() {
    std::filesystem::create_directories(program_dir());
    std::ofstream(program_dir() + "/main.py") << "print('app')\n";
    std::filesystem::copy(kPackages + "/local_project", tree_.path("app/local_project"),
                          std::filesystem::copy_options::recursive);
    std::ofstream(tree_.path("probe.py")) << "ANSWER = 42\n";
    wheel_ = trimmed(run_child({NORVALE_PYTHON_EXECUTABLE, "-I", kPackages + "/make_wheel.py",
                                tree_.path("app/wheels"), "norvale_pure_probe", "1.0",
                                "py3-none-any", "norvale_pure_probe.py=" + tree_.path("probe.py")})
                         .out);
    const std::string sum = run_child({"/usr/bin/sha256sum", wheel_}).out;
    wheel_hash_ = sum.substr(0, sum.find(' '));
  }

  std::string program_dir() const { return tree_.path("app/program"); }
  std::string site_packages() const {
    return tree_.path("build/bundle/" NORVALE_PYTHON_SITE_PACKAGES);
  }
  // The local wheel, as a requirements line names it.
  std::string wheel_line(const std::string& hash) const {
    return "../wheels/" + std::filesystem::path(wheel_).filename().string() +
           " --hash=sha256:" + hash + "\n";
  }
  const std::string& wheel_hash() const { return wheel_hash_; }
  const XdgTree& tree() const { return tree_; }

  void write_requirements(const std::string& text) const {
    std::ofstream(program_dir() + "/requirements.txt") << text;
  }

  ChildResult configure(const std::string& pip_cache = NORVALE_PIP_CACHE_DIR) const {
    return run_child({NORVALE_CMAKE_COMMAND, "-S", kPackages + "/requirements_project", "-B",
                      tree_.path("build"), "-DNORVALE_SOURCE_DIR=" NORVALE_SOURCE_DIR,
                      "-DAPP_PROGRAM_DIR=" + program_dir(),
                      "-DNORVALE_PYTHON_PREFIX=" NORVALE_PYTHON_RUNTIME_PREFIX,
                      "-DNORVALE_PIP_CACHE_DIR=" + pip_cache},
                     options());
  }

  // The build, in front of it `wrapper` (e.g. a namespace without network).
  ChildResult build(const std::vector<std::string>& wrapper = {}) const {
    std::vector<std::string> argv = wrapper;
    for (const char* arg : {NORVALE_CMAKE_COMMAND, "--build"}) argv.push_back(arg);
    argv.push_back(tree_.path("build"));
    return run_child(argv, options());
  }

  // Every file of the bundle's site-packages with its content, and what
  // lies beside it: the bundle's packages as a whole.
  std::string packages_snapshot() const {
    std::string snapshot;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(site_packages()).parent_path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("site-packages", 0) == 0) snapshot += "beside: " + name + "\n";
    }
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(site_packages())) {
      if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) snapshot += file + "\n" + read_file(file) + "\n";
    return snapshot;
  }

  ino_t site_packages_inode() const {
    struct stat st{};
    return stat(site_packages().c_str(), &st) == 0 ? st.st_ino : 0;
  }

 private:
  static ChildOptions options() {
    ChildOptions options;
    options.timeout_seconds = 300;
    for (const char* name : {"PYTHONHOME", "PYTHONPATH", "MAKEFLAGS"}) options.env[name] = std::nullopt;
    return options;
  }

  XdgTree tree_;
  std::string wheel_, wheel_hash_;
};

#define ASSERT_SUCCEEDS(result) \
  ASSERT_EQ((result).exit_code(), 0) << (result).out << (result).err

TEST(Requirements, InstallsOnceAndAgainOnlyWhenTheRequirementsOrTheirLocalFilesChange) {
  AppBuild app;
  app.write_requirements("../wheels/norvale_pure_probe-1.0-py3-none-any.whl\n../local_project\n");
  ASSERT_SUCCEEDS(app.configure());
  ASSERT_SUCCEEDS(app.build());
  for (const char* installed : {"norvale_pure_probe.py", "norvale_local_probe/greeting.txt",
                                "norvale_pure_probe-1.0.dist-info/METADATA",
                                "norvale_local_probe-2.0.dist-info/entry_points.txt"}) {
    EXPECT_TRUE(std::filesystem::exists(app.site_packages() + "/" + installed)) << installed;
  }
  // The program is in the bundle, its requirements file is not.
  EXPECT_TRUE(std::filesystem::exists(app.tree().path("build/bundle/share/norvale/program/main.py")));
  EXPECT_FALSE(std::filesystem::exists(
      app.tree().path("build/bundle/share/norvale/program/requirements.txt")));
  const ino_t first = app.site_packages_inode();
  const std::string snapshot = app.packages_snapshot();

  // Nothing changed: the step does not even run.
  auto again = app.build();
  ASSERT_SUCCEEDS(again);
  EXPECT_EQ(again.out.find("Installing the application's Python packages"), std::string::npos)
      << again.out;
  // The file touched, its content the same: pip does not run.
  std::filesystem::last_write_time(app.program_dir() + "/requirements.txt",
                                   std::filesystem::file_time_type::clock::now());
  auto touched = app.build();
  ASSERT_SUCCEEDS(touched);
  EXPECT_NE(touched.out.find("packages are up to date with"), std::string::npos) << touched.out;
  EXPECT_EQ(app.site_packages_inode(), first);
  EXPECT_EQ(app.packages_snapshot(), snapshot);

  // A local folder that the requirements name changed: installed again.
  std::ofstream(app.tree().path("app/local_project/norvale_local_probe/greeting.txt"))
      << "changed\n";
  ASSERT_SUCCEEDS(app.build());
  EXPECT_EQ(read_file(app.site_packages() + "/norvale_local_probe/greeting.txt"), "changed\n");
  // A requirement gone: so is its package.
  app.write_requirements("../wheels/norvale_pure_probe-1.0-py3-none-any.whl\n");
  ASSERT_SUCCEEDS(app.build());
  EXPECT_FALSE(std::filesystem::exists(app.site_packages() + "/norvale_local_probe"));
  EXPECT_TRUE(std::filesystem::exists(app.site_packages() + "/norvale_pure_probe.py"));
}

struct FailureCase {
  const char* name;
  std::string requirements;            // "@WHEEL@" stands for the local wheel
  std::vector<std::string> expected;   // in the build's output
  bool without_network = false;        // in a network namespace of its own, nothing cached
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class RequirementsFailure : public testing::TestWithParam<FailureCase> {};

// Each case starts from a bundle whose packages came from the local wheel,
// named with its hash; the failing requirements must leave them as they were.
TEST_P(RequirementsFailure, StopsTheBuildWithThePackageAndPipsReasonAndLeavesTheBundleAlone) {
  const FailureCase& c = GetParam();
  AppBuild app;
  app.write_requirements(app.wheel_line(app.wheel_hash()));
  const std::string cache = c.without_network ? app.tree().path("empty-cache") : NORVALE_PIP_CACHE_DIR;
  ASSERT_SUCCEEDS(app.configure(cache));
  ASSERT_SUCCEEDS(app.build());
  ASSERT_TRUE(std::filesystem::exists(app.site_packages() + "/norvale_pure_probe.py"));
  const std::string before = app.packages_snapshot();

  std::string requirements = c.requirements;
  if (const size_t at = requirements.find("@WHEEL@"); at != std::string::npos) {
    requirements.replace(at, 7, app.wheel_line(std::string(64, '0')));
  }
  app.write_requirements(requirements);
  const auto failed = app.build(c.without_network ? std::vector<std::string>{"/usr/bin/unshare", "-n"}
                                                  : std::vector<std::string>{});
  EXPECT_NE(failed.exit_code(), 0) << failed.out << failed.err;
  const std::string output = failed.out + failed.err;
  for (const std::string& text : c.expected) {
    EXPECT_NE(output.find(text), std::string::npos) << "no \"" << text << "\" in\n" << output;
  }
  EXPECT_NE(output.find("Nothing was installed into the bundle."), std::string::npos) << output;
  EXPECT_EQ(app.packages_snapshot(), before);
}

const FailureCase kFailureCases[] = {
    {"MalformedLine", "certifi\nnumpy>=>1\n",
     {"app: cannot install numpy>=>1 (from ", "line 2 of ", "is not a valid requirement"}},
    {"UnknownOption", "--no-such-option\n",
     {"app: cannot install --no-such-option", "an option that pip does not know"}},
    {"Conflict", "certifi==2024.8.30\ncertifi==2024.7.4\n",
     {"app: cannot install certifi==2024.7.4 and certifi==2024.8.30",
      "the requirements conflict: The user requested certifi==2024.8.30; "
      "The user requested certifi==2024.7.4"}},
    {"NoDistributionAtAll", "norvale-no-such-package-anywhere\n",
     {"app: cannot install norvale-no-such-package-anywhere",
      "the package index has no distribution of it for CPython " NORVALE_PYTHON_MAJOR_MINOR}},
    {"OnlyASourceDistributionUnderOnlyBinary", "--only-binary :all:\ndocopt==0.6.2\n",
     {"app: cannot install docopt==0.6.2",
      "no wheel of a version it allows fits CPython " NORVALE_PYTHON_MAJOR_MINOR,
      "--only-binary rules out building it from source (versions with a wheel that fits: none)"}},
    {"NoWheelForThisCPython", "--only-binary numpy\nnumpy==1.26.4\n",
     {"app: cannot install numpy==1.26.4",
      "no wheel of a version it allows fits CPython " NORVALE_PYTHON_MAJOR_MINOR,
      "--only-binary rules out building it from source"}},
    {"NoNetwork", "psutil\n",
     {"app: cannot install psutil", "the package index could not be reached (no network?)",
      "Temporary failure in name resolution"},
     true},
    {"HashMismatch", "@WHEEL@",
     {"app: cannot install norvale-pure-probe==1.0",
      "its download does not match the hash that the requirements file gives"}},
    {"EditableFolder", "-e ../local_project\n",
     {"app: cannot install ../local_project", "asks for an editable install"}},
    {"MissingLocalWheel", "../wheels/norvale_missing-1.0-py3-none-any.whl\n",
     {"app: cannot install ", "norvale_missing-1.0-py3-none-any.whl", "the file does not exist"}},
};

INSTANTIATE_TEST_SUITE_P(Requirements, RequirementsFailure, testing::ValuesIn(kFailureCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
