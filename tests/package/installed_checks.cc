#include "installed_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "app_run.h"
#include "child_process.h"
#include "runner_fixture.h"

namespace package_test {

using norvale_test::read_file;
using norvale_test::run_child;

namespace {

bool is_elf(const std::filesystem::path& path) {
  return std::filesystem::is_regular_file(path) &&
         read_file(path.string()).rfind("\x7f" "ELF", 0) == 0;
}

// The value after "Build ID: ", or "".
std::string build_id(const std::string& path) {
  const std::string notes = readelf("-n", path);
  const std::string key = "Build ID: ";
  const size_t at = notes.find(key);
  if (at == std::string::npos) return "";
  const size_t end = notes.find('\n', at);
  return notes.substr(at + key.size(), end - at - key.size());
}

// The entries of a RUNPATH or RPATH of readelf -d's output, or none.
std::vector<std::string> search_path(const std::string& dynamic, const char* tag) {
  std::vector<std::string> entries;
  const size_t at = dynamic.find(tag);
  if (at == std::string::npos) return entries;
  const size_t open = dynamic.find('[', at), close = dynamic.find(']', at);
  std::istringstream list(dynamic.substr(open + 1, close - open - 1));
  for (std::string entry; std::getline(list, entry, ':');) entries.push_back(entry);
  return entries;
}

}  // namespace

std::vector<std::string> hiding_builds_python_and_protecting(const std::string& bundle) {
  return {"unshare", "-m", "sh", "-c",
          e2e_test::hide_builds_python() +
              " && mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && exec \"$@\"",
          bundle};
}

std::string readelf(const std::string& option, const std::string& path) {
  return run_child({"/usr/bin/readelf", option, "-W", path}).out;
}

int expect_lean_elf_files(const std::string& bundle, const std::string& debug_dir) {
  const std::filesystem::path root = std::filesystem::canonical(bundle);
  int elf_files = 0;
  for (const auto& file : std::filesystem::recursive_directory_iterator(root)) {
    if (file.is_symlink() || !is_elf(file.path())) continue;
    ++elf_files;
    const std::string path = file.path().string();
    const std::string sections = readelf("-S", path);
    EXPECT_EQ(sections.find(".debug_"), std::string::npos) << path;
    EXPECT_EQ(sections.find(".symtab"), std::string::npos) << path;
    // Every search path entry is $ORIGIN-relative and stays in the bundle.
    const std::string dynamic = readelf("-d", path);
    for (const char* tag : {"(RUNPATH)", "(RPATH)"}) {
      for (const std::string& entry : search_path(dynamic, tag)) {
        std::string rest;
        for (const char* origin : {"$ORIGIN", "${ORIGIN}"}) {
          if (entry.rfind(origin, 0) == 0) rest = "." + entry.substr(std::string(origin).size());
        }
        EXPECT_FALSE(rest.empty()) << path << ": " << entry;
        if (rest.empty()) continue;
        const auto target = (file.path().parent_path() / rest).lexically_normal();
        const auto [end, _] = std::mismatch(root.begin(), root.end(), target.begin(), target.end());
        EXPECT_TRUE(end == root.end()) << path << ": " << entry << " leaves the bundle";
      }
    }
    // The debug information the build split off is kept in the build
    // tree, where gdb finds it by build ID (some wheels' libraries come
    // with a link of their own, to a file that never was in the wheel).
    if (sections.find(".gnu_debuglink") != std::string::npos) {
      const std::string id = build_id(path);
      EXPECT_GT(id.size(), 2u) << path;
      if (id.size() <= 2) continue;
      const std::string link = run_child({"/usr/bin/readelf", "-W", "--string-dump=.gnu_debuglink",
                                          path}).out;
      if (link.find("] " + id.substr(2) + ".debug") == std::string::npos &&
          link.find("]  " + id.substr(2) + ".debug") == std::string::npos) {
        continue;
      }
      const std::string debug =
          debug_dir + "/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
      EXPECT_NE(readelf("-S", debug).find(".debug_info"), std::string::npos)
          << path << " " << debug;
    }
  }
  return elf_files;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Nothing above the informational tags (which CPython's own build draws:
// fortify, spelling in its tables), and no override that matches nothing.
void expect_lintian_clean(const std::string& deb) {
  norvale_test::ChildOptions options;
  options.timeout_seconds = 240;
  auto result = run_child({"/usr/bin/lintian", "--pedantic", "--display-info", "--fail-on",
                           "error,warning,pedantic", deb},
                          options);
  EXPECT_EQ(result.exit_code(), 0) << result.out << result.err;
  for (const auto& line : lines_of(result.out)) {
    EXPECT_EQ(line.rfind("I: ", 0), 0u) << line;
    EXPECT_EQ(line.find("-override"), std::string::npos) << line;
  }
}

void expect_overrides_with_reasons(const std::string& overrides_file) {
  const auto lines = lines_of(read_file(overrides_file));
  int overrides = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty() || lines[i][0] == '#') continue;
    ++overrides;
    ASSERT_GT(i, 0u) << lines[i];
    EXPECT_EQ(lines[i - 1].rfind("# ", 0), 0u) << "no reason above: " << lines[i];
    EXPECT_GT(lines[i - 1].size(), 20u) << lines[i - 1];
  }
  EXPECT_GT(overrides, 0);
}

}  // namespace package_test
