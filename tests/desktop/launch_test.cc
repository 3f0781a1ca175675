// The installed entry as real clients read it: desktop-file-validate, and
// GLib's desktop-entry code (GDesktopAppInfo through gio and gtk-launch),
// which must start exactly the launch target, whatever its path holds.

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "desktop_fixture.h"
#include "desktop_scenarios.h"

namespace {

using namespace desktop_test;

// A directory of a bundle that runs the recorder as its executable, with the
// real bundle's template and icon.
FakeBundle recorder_bundle(const std::string& dir) {
  FakeBundle bundle = make_bundle(dir);
  bundle.executable = dir + "/runner";
  write_file(bundle.executable, read_file(DESKTOP_TEST_RECORDER).value());
  chmod(bundle.executable.c_str(), 0755);
  write_file(dir + "/share/applications/" + entry_file_name(),
             read_file(DESKTOP_TEST_BUNDLE_TEMPLATE).value());
  write_file(dir + "/data/app_icon.png", read_file(DESKTOP_TEST_BUNDLE_ICON).value());
  return bundle;
}

// The reading end of the recorder's FIFO, opened before the launch so that
// the recorder never waits for it (and so never holds the launcher's
// output streams open).
class RecordReader {
 public:
  explicit RecordReader(const std::string& path)
      : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
  ~RecordReader() {
    if (fd_ >= 0) close(fd_);
  }
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Everything the recorder wrote; empty when it did not come within a
  // minute (a launch that failed).
  std::string text() {
    std::string text;
    while (fd_ >= 0) {
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, 60000) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        break;  // the recorder closed its end
      }
    }
    return text;
  }

 private:
  int fd_;
};

// GLib's parse of the entry's Exec line, as GDesktopAppInfo makes it.
std::vector<std::string> parsed_exec(const std::string& entry) {
  g_autoptr(GDesktopAppInfo) info = g_desktop_app_info_new_from_filename(entry.c_str());
  if (info == nullptr) return {"no app info"};
  int argc = 0;
  g_auto(GStrv) argv = nullptr;
  const char* line = g_app_info_get_commandline(G_APP_INFO(info));
  if (!g_shell_parse_argv(line, &argc, &argv, nullptr)) return {"unparsable"};
  return std::vector<std::string>(argv, argv + argc);
}

struct LaunchTarget {
  const char* name;
  const char* directory;  // where the launch target lies, inside the tree
  // False where the path holds control characters other than line breaks,
  // which a key-file string can only carry raw: desktop-file-validate
  // objects, while GLib's clients still start exactly that path.
  bool strictly_valid = true;
};

void PrintTo(const LaunchTarget& target, std::ostream* os) { *os << target.directory; }

class LaunchTargets : public testing::TestWithParam<LaunchTarget> {};

TEST_P(LaunchTargets, GLibClientsStartExactlyTheLaunchTarget) {
  XdgTree tree;
  FakeBundle bundle = recorder_bundle(tree.root + "/" + GetParam().directory);
  Outcome o = run_desktop_scenario("install", bundle.executable, tree.options());
  ASSERT_EQ(o.records, std::vector<std::string>{tree.user_entry() + " " + tree.runtime_area() +
                                                " " + tree.marker(o.pid)})
      << o.child.out << o.child.err;

  auto validate = norvale_test::run_child({"/usr/bin/desktop-file-validate", tree.user_entry()});
  if (GetParam().strictly_valid) {
    EXPECT_EQ(validate.exit_code(), 0) << validate.out << validate.err;
    EXPECT_EQ(validate.out + validate.err, "");
  } else {
    EXPECT_NE((validate.out + validate.err).find("key \"Exec\" in group \"Desktop Entry\" contains invalid "
                                "characters"),
              std::string::npos)
        << validate.out << validate.err;
  }

  EXPECT_EQ(parsed_exec(tree.user_entry()),
            (std::vector<std::string>{bundle.executable, "%U"}));

  const std::string fifo = tree.root + "/record";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto options = tree.options();
  options.env["DESKTOP_TEST_RECORD"] = fifo;
  const std::vector<std::vector<std::string>> launchers = {
      {"/usr/bin/gio", "launch", tree.user_entry()},
      {"/usr/bin/gtk-launch", APPLICATION_ID},
  };
  for (const auto& launcher : launchers) {
    SCOPED_TRACE(launcher[0]);
    RecordReader record(fifo);
    auto launch = norvale_test::run_child(launcher, options);
    EXPECT_EQ(launch.exit_code(), 0) << launch.out << launch.err;
    EXPECT_EQ(record.text(),
              "argv0=" + bundle.executable + "\nexe=" + bundle.executable + "\nargc=1\n");
  }
}

const LaunchTarget kLaunchTargets[] = {
    {"Space", "with space"},
    {"DoubleQuote", "double\"quote"},
    {"DollarSign", "dollar$HOME"},
    {"Backslash", "back\\slash"},
    {"Backtick", "back`tick`"},
    {"SingleQuote", "single'quote"},
    {"NonAscii", "Z\xc3\xbcrich \xe3\x83\x97\xe3\x83\xad"},
    {"AllTogether", "all of \"$\\`' \xc3\xa9 at once"},
    {"LineBreak", "line\nExec=/bin/false\n[Desktop Action x]"},
    {"CarriageReturn", "carriage\rreturn"},
    {"Tab", "a\ttab", false},
    {"ControlCharacters", "bell\x07 escape\x1b delete\x7f", false},
};

std::string launch_target_name(const testing::TestParamInfo<LaunchTarget>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Launch, LaunchTargets, testing::ValuesIn(kLaunchTargets),
                         launch_target_name);

}  // namespace
