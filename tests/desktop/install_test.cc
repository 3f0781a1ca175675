// Installation of the per-user desktop entry: every way it ends, and what
// each leaves behind. Each case runs the installation in a child process in a
// throwaway XDG tree with a fake bundle.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "desktop_fixture.h"
#include "desktop_scenarios.h"

namespace {

using namespace desktop_test;

constexpr char kIconBytes[] = "\x89PNG not really, but copied byte for byte\n";

struct Scene {
  XdgTree tree;
  FakeBundle bundle = make_bundle(tree.root + "/My Bundle");
  norvale_test::ChildOptions options = tree.options();
  std::string executable = bundle.executable;

  // The usual bundle: a template under bin/share and an icon.
  void usual_bundle() {
    write_file(bundle.first_template(), template_text("First"));
    write_file(bundle.icon(), kIconBytes);
  }
  Outcome install() { return run_desktop_scenario("install", executable, options); }
};

std::string marker_of(const Scene& s, const Outcome& o) { return s.tree.marker(o.pid); }

// Nothing was installed and nothing was logged; the entry path holds what
// it held before.
void expect_nothing_installed(const Scene& s, const Outcome& o) {
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  EXPECT_EQ(o.records, std::vector<std::string>{kEmptyRecord});
  EXPECT_TRUE(o.logs.empty()) << o.child.out;
  EXPECT_FALSE(exists(marker_of(s, o)));
  EXPECT_FALSE(exists(s.tree.icon_copy()));
}

// The entry was installed for this bundle; returns its text.
std::string expect_installed(const Scene& s, const Outcome& o) {
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  EXPECT_EQ(o.records, std::vector<std::string>{s.tree.user_entry() + " " +
                                                s.tree.runtime_area() + " " + marker_of(s, o)});
  EXPECT_TRUE(o.logs.empty()) << o.child.out;
  EXPECT_EQ(read_file(marker_of(s, o)), "");
  return read_file(s.tree.user_entry()).value_or("");
}

TEST(Install, WritesTheTemplateWithExecIconAndTheHiddenGeneratedKeys) {
  Scene s;
  s.usual_bundle();
  Outcome o = s.install();
  std::string text = expect_installed(s, o);
  EXPECT_EQ(text,
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=First\n"
            "Exec=\"" + s.executable + "\" %U\n"
            "Icon=" + s.tree.icon_copy() + "\n"
            "Terminal=false\n"
            "NoDisplay=true\n"
            "X-Zemtra-Generated=true\n");
  EXPECT_EQ(read_file(s.tree.icon_copy()), kIconBytes);
  struct stat info;
  ASSERT_EQ(stat(s.tree.runtime_area().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(Install, EscapesTheExecQuotingOnceMoreAsAKeyFileString) {
  Scene s;
  s.usual_bundle();
  s.options.env["APPIMAGE"] = s.tree.root + "/A $1 `b` \"c\" \\d.AppImage";
  Outcome o = s.install();
  std::string text = expect_installed(s, o);
  std::string root = s.tree.root;
  EXPECT_NE(text.find("\nExec=\"" + root + "/A \\\\$1 \\\\`b\\\\` \\\\\"c\\\\\" \\\\\\\\d.AppImage\" %U\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(entry_string(text, "Exec"),
            "\"" + root + "/A \\$1 \\`b\\` \\\"c\\\" \\\\d.AppImage\" %U");
}

struct Case {
  const char* name;
  std::function<void(Scene&)> arrange;
  std::function<void(const Scene&, const Outcome&)> check;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class InstallCases : public testing::TestWithParam<Case> {};

TEST_P(InstallCases, EndsAsExpected) {
  Scene s;
  GetParam().arrange(s);
  Outcome o = s.install();
  GetParam().check(s, o);
}

// Nothing of the runtime area exists, not even the lock.
void expect_untouched_area(const Scene& s, const Outcome& o) {
  expect_nothing_installed(s, o);
  EXPECT_FALSE(exists(s.tree.base_dir()));
  EXPECT_FALSE(exists(s.tree.user_entry()));
}

const std::string kForeignEntry = "[Desktop Entry]\nType=Application\nName=Mine\nExec=mine\n";

const Case kCases[] = {
    {"FlatpakIdSetToEmptyStringIsSandboxed",
     [](Scene& s) { s.usual_bundle(); s.options.env["FLATPAK_ID"] = ""; },
     expect_untouched_area},
    {"SnapSetToEmptyStringIsSandboxed",
     [](Scene& s) { s.usual_bundle(); s.options.env["SNAP"] = ""; },
     expect_untouched_area},
    {"PercentSignInTheExecutablePath",
     [](Scene& s) { s.usual_bundle(); s.executable = s.bundle.dir + "/bin/run%ner"; },
     expect_untouched_area},
    {"PercentSignInTheAppImagePath",
     [](Scene& s) { s.usual_bundle(); s.options.env["APPIMAGE"] = "/opt/100%.AppImage"; },
     expect_untouched_area},
    {"LaunchTargetThatIsNotUtf8",
     [](Scene& s) { s.usual_bundle(); s.executable = s.bundle.dir + "/bin/run\xffner"; },
     expect_untouched_area},
    {"AppImageSetToEmptyStringUsesTheExecutable",
     [](Scene& s) { s.usual_bundle(); s.options.env["APPIMAGE"] = ""; },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Exec"), "\"" + s.executable + "\" %U");
     }},
    {"AppImageIsTheLaunchTarget",
     [](Scene& s) { s.usual_bundle(); s.options.env["APPIMAGE"] = "/opt/My App.AppImage"; },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Exec"), "\"/opt/My App.AppImage\" %U");
     }},
    {"ForeignEntryIsLeftAlone",
     [](Scene& s) { s.usual_bundle(); write_file(s.tree.user_entry(), kForeignEntry); },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_EQ(read_file(s.tree.user_entry()), kForeignEntry);
       EXPECT_FALSE(exists(s.tree.runtime_area()));
     }},
    {"SymbolicLinkAtTheEntryPathIsLeftAlone",
     [](Scene& s) {
       s.usual_bundle();
       make_dirs(s.tree.data_home + "/applications");
       ASSERT_EQ(symlink(s.bundle.first_template().c_str(), s.tree.user_entry().c_str()), 0);
     },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       char target[4096] = {};
       EXPECT_GT(readlink(s.tree.user_entry().c_str(), target, sizeof target - 1), 0);
       EXPECT_EQ(std::string(target), s.bundle.first_template());
     }},
    {"DirectoryAtTheEntryPathIsLeftAlone",
     [](Scene& s) { s.usual_bundle(); make_dirs(s.tree.user_entry()); },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_TRUE(g_file_test(s.tree.user_entry().c_str(), G_FILE_TEST_IS_DIR));
     }},
    {"FirstTemplateWinsOverTheSecond",
     [](Scene& s) {
       s.usual_bundle();
       write_file(s.bundle.second_template(), template_text("Second"));
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Name"), "First");
     }},
    {"SecondTemplateOneLevelUp",
     [](Scene& s) {
       write_file(s.bundle.second_template(), template_text("Second"));
       write_file(s.bundle.icon(), kIconBytes);
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Name"), "Second");
     }},
    {"NoTemplateInstallsNothingAndSaysNothing",
     [](Scene& s) { write_file(s.bundle.icon(), kIconBytes); },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_EQ(o.child.err, "");
       EXPECT_FALSE(exists(s.tree.user_entry()));
       EXPECT_TRUE(exists(s.tree.lock_file()));
     }},
    {"TemplateThatIsNoKeyFile",
     [](Scene& s) { write_file(s.bundle.first_template(), "not a key file\n"); },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"SystemEntryPreventsInstallation",
     [](Scene& s) { s.usual_bundle(); write_file(s.tree.system_entry(), kForeignEntry); },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_FALSE(exists(s.tree.user_entry()));
       EXPECT_FALSE(exists(s.tree.runtime_area()));
     }},
    {"SystemEntryRemovesOurOwnUserEntry",
     [](Scene& s) {
       s.usual_bundle();
       write_file(s.tree.system_entry(), kForeignEntry);
       write_file(s.tree.user_entry(), "[Desktop Entry]\nX-Zemtra-Generated=true\n");
     },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"SystemEntryThroughASymbolicLinkCounts",
     [](Scene& s) {
       s.usual_bundle();
       make_dirs(s.tree.system_dir + "/applications");
       ASSERT_EQ(symlink(s.bundle.first_template().c_str(), s.tree.system_entry().c_str()), 0);
     },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"TemplateAmongSystemEntriesCountsOutsideAppImage",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["XDG_DATA_DIRS"] = s.bundle.dir + "/bin/share:/usr/share";
     },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"AppImageOwnTemplateAmongSystemEntriesDoesNotCount",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["APPIMAGE"] = "/opt/App.AppImage";
       s.options.env["XDG_DATA_DIRS"] = s.tree.system_dir + ":" + s.bundle.dir + "/bin/share:/usr/share";
     },
     [](const Scene& s, const Outcome& o) { expect_installed(s, o); }},
    {"AppImageOtherSystemEntryWithTheSameNameCounts",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["APPIMAGE"] = "/opt/App.AppImage";
       write_file(s.tree.system_entry(), template_text("First"));
       write_file(s.tree.user_entry(), "[Desktop Entry]\nX-Zemtra-Generated=false\n");
     },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"NoBundleIconKeepsTheTemplateIcon",
     [](Scene& s) { write_file(s.bundle.first_template(), template_text("First")); },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Icon"), "template-icon");
       EXPECT_FALSE(exists(s.tree.icon_copy()));
     }},
    {"UnreadableBundleIconKeepsTheTemplateIcon",
     [](Scene& s) {
       write_file(s.bundle.first_template(), template_text("First"));
       make_dirs(s.bundle.icon());
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Icon"), "template-icon");
       EXPECT_FALSE(exists(s.tree.icon_copy()));
     }},
    {"IconCopyThatCannotBeWrittenPointsAtTheBundleIcon",
     [](Scene& s) { s.usual_bundle(); make_dirs(s.tree.icon_copy()); },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Icon"), s.bundle.icon());
     }},
    {"IconCopyIsReplaced",
     [](Scene& s) { s.usual_bundle(); write_file(s.tree.icon_copy(), "an older icon"); },
     [](const Scene& s, const Outcome& o) {
       expect_installed(s, o);
       EXPECT_EQ(read_file(s.tree.icon_copy()), kIconBytes);
     }},
    {"RuntimeAreaTakenByAFile",
     [](Scene& s) { s.usual_bundle(); write_file(s.tree.runtime_area(), ""); },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(o.records, std::vector<std::string>{kEmptyRecord});
       EXPECT_TRUE(o.logs.empty());
       EXPECT_FALSE(exists(s.tree.user_entry()));
       EXPECT_EQ(read_file(s.tree.runtime_area()), "");
     }},
    {"BaseDirectoryTakenByAFile",
     [](Scene& s) { s.usual_bundle(); write_file(s.tree.base_dir(), ""); },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(o.records, std::vector<std::string>{kEmptyRecord});
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"EntryWithBytesAfterANulIsRewritten",
     [](Scene& s) {
       s.usual_bundle();
       // What this very installation writes, followed by a NUL and junk.
       std::string text = "[Desktop Entry]\nType=Application\nName=First\nExec=\"" +
                          s.executable + "\" %U\nIcon=" + s.tree.icon_copy() +
                          "\nTerminal=false\nNoDisplay=true\nX-Zemtra-Generated=true\n";
       write_file(s.tree.user_entry(), text + std::string("\0junk", 5));
     },
     [](const Scene& s, const Outcome& o) {
       std::string text = expect_installed(s, o);
       EXPECT_EQ(text.find('\0'), std::string::npos);
       EXPECT_EQ(text.find("junk"), std::string::npos);
     }},
};

INSTANTIATE_TEST_SUITE_P(Install, InstallCases, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

// Bad input on purpose: odd bundle files, launch targets and environment
// values, and runtime areas that cannot be used. Each ends in an entry that
// says exactly what it should, or in nothing installed and the entry path
// as it was; nothing waits for ever.

void make_fifo(const std::string& path) {
  g_autofree char* parent = g_path_get_dirname(path.c_str());
  make_dirs(parent);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
}

// A generated entry of an earlier run, which a failed installation must
// leave as it is.
const std::string kEarlierEntry =
    "[Desktop Entry]\nType=Application\nName=Earlier\nExec=\"/old/runner\" %U\n"
    "X-Zemtra-Generated=true\n";

void usual_bundle_and_earlier_entry(Scene& s) {
  s.usual_bundle();
  write_file(s.tree.user_entry(), kEarlierEntry);
}

void expect_earlier_entry_kept(const Scene& s, const Outcome& o) {
  expect_nothing_installed(s, o);
  EXPECT_EQ(read_file(s.tree.user_entry()), kEarlierEntry);
}

// Installed with the entry at `entry` and the runtime area at `area`, for
// paths that the record line cannot carry; returns the entry's text.
std::string expect_installed_at(const Outcome& o, const std::string& entry,
                                const std::string& area) {
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  EXPECT_TRUE(o.logs.empty()) << o.child.out;
  EXPECT_EQ(read_file(area + "/" + std::to_string(o.pid)), "");
  EXPECT_EQ(read_file(area + "/icon.png"), kIconBytes);
  return read_file(entry).value_or("");
}

// The groups of an entry, in order.
std::vector<std::string> groups_of(const std::string& text) {
  g_autoptr(GKeyFile) key_file = g_key_file_new();
  if (!g_key_file_load_from_data(key_file, text.data(), text.size(), G_KEY_FILE_NONE, nullptr)) {
    return {"unparsable"};
  }
  g_auto(GStrv) groups = g_key_file_get_groups(key_file, nullptr);
  return std::vector<std::string>(groups, groups + g_strv_length(groups));
}

// What reads as keys or groups after a line break, if it were not escaped.
constexpr char kInjection[] = "\nExec=/bin/false\n[Desktop Action evil]\nExec=evil";

const Case kBadInputCases[] = {
    {"TemplateThatIsAFifoIsPassedOver",
     [](Scene& s) {
       make_fifo(s.bundle.first_template());
       write_file(s.bundle.second_template(), template_text("Second"));
       write_file(s.bundle.icon(), kIconBytes);
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Name"), "Second");
     }},
    {"BundleIconThatIsAFifoKeepsTheTemplateIcon",
     [](Scene& s) {
       write_file(s.bundle.first_template(), template_text("First"));
       make_fifo(s.bundle.icon());
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Icon"), "template-icon");
       EXPECT_FALSE(exists(s.tree.icon_copy()));
     }},
    {"BundleIconThatIsADeviceKeepsTheTemplateIcon",
     [](Scene& s) {
       write_file(s.bundle.first_template(), template_text("First"));
       make_dirs(s.bundle.dir + "/bin/data");
       ASSERT_EQ(symlink("/dev/zero", s.bundle.icon().c_str()), 0);
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Icon"), "template-icon");
       EXPECT_FALSE(exists(s.tree.icon_copy()));
     }},
    {"TemplateWithoutADesktopEntryGroupStillGivesAnEntryMarkedOurs",
     [](Scene& s) {
       write_file(s.bundle.first_template(), "[Other]\nKey=value\n");
       write_file(s.bundle.icon(), kIconBytes);
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(expect_installed(s, o),
                 "[Other]\nKey=value\n\n"
                 "[Desktop Entry]\n"
                 "Exec=\"" + s.executable + "\" %U\n"
                 "Icon=" + s.tree.icon_copy() + "\n"
                 "NoDisplay=true\n"
                 "X-Zemtra-Generated=true\n");
     }},
    {"FifoAtTheEntryPathIsLeftAlone",
     [](Scene& s) { s.usual_bundle(); make_fifo(s.tree.user_entry()); },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       struct stat info;
       ASSERT_EQ(lstat(s.tree.user_entry().c_str(), &info), 0);
       EXPECT_TRUE(S_ISFIFO(info.st_mode));
     }},
    {"LaunchTargetWithLineBreaksCannotAddKeysOrGroups",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["APPIMAGE"] = std::string("/opt/x") + kInjection + "\r.AppImage";
     },
     [](const Scene& s, const Outcome& o) {
       std::string text = expect_installed(s, o);
       EXPECT_EQ(entry_string(text, "Exec"),
                 std::string("\"/opt/x") + kInjection + "\r.AppImage\" %U");
       EXPECT_EQ(groups_of(text), std::vector<std::string>{"Desktop Entry"});
     }},
    {"LaunchTargetWithTabAndControlCharacters",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["APPIMAGE"] = "/opt/a\tb\x01\x1b\x7f.AppImage";
     },
     [](const Scene& s, const Outcome& o) {
       EXPECT_EQ(entry_string(expect_installed(s, o), "Exec"),
                 "\"/opt/a\tb\x01\x1b\x7f.AppImage\" %U");
     }},
    {"RuntimeDirectoryWithLineBreaksCannotAddKeysOrGroups",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["XDG_RUNTIME_DIR"] = s.tree.root + "/run" + kInjection;
     },
     [](const Scene& s, const Outcome& o) {
       const std::string area = s.tree.root + "/run" + kInjection + "/zemtra/" APPLICATION_ID;
       std::string text = expect_installed_at(o, s.tree.user_entry(), area);
       EXPECT_EQ(entry_string(text, "Icon"), area + "/icon.png");
       EXPECT_EQ(entry_string(text, "Exec"), "\"" + s.executable + "\" %U");
       EXPECT_EQ(groups_of(text), std::vector<std::string>{"Desktop Entry"});
     }},
    {"DataHomeWithALineBreak",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["XDG_DATA_HOME"] = s.tree.root + "/data\nhome";
     },
     [](const Scene& s, const Outcome& o) {
       const std::string entry = s.tree.root + "/data\nhome/applications/" + entry_file_name();
       std::string text = expect_installed_at(o, entry, s.tree.runtime_area());
       EXPECT_EQ(entry_string(text, "Exec"), "\"" + s.executable + "\" %U");
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"HomeWithALineBreakAndNoDataHome",
     [](Scene& s) {
       s.usual_bundle();
       s.options.env["XDG_DATA_HOME"] = std::nullopt;
       s.options.env["HOME"] = s.tree.root + "/home\nhere";
     },
     [](const Scene& s, const Outcome& o) {
       const std::string entry =
           s.tree.root + "/home\nhere/.local/share/applications/" + entry_file_name();
       std::string text = expect_installed_at(o, entry, s.tree.runtime_area());
       EXPECT_EQ(entry_string(text, "Exec"), "\"" + s.executable + "\" %U");
     }},
    {"SystemDataDirectoryWithALineBreakStillCounts",
     [](Scene& s) {
       s.usual_bundle();
       const std::string dir = s.tree.root + "/sys\ntem";
       write_file(dir + "/applications/" + entry_file_name(), kForeignEntry);
       s.options.env["XDG_DATA_DIRS"] = dir + ":/usr/share";
     },
     [](const Scene& s, const Outcome& o) {
       expect_nothing_installed(s, o);
       EXPECT_FALSE(exists(s.tree.user_entry()));
     }},
    {"RuntimeDirectoryThatIsAFile",
     [](Scene& s) {
       usual_bundle_and_earlier_entry(s);
       write_file(s.tree.root + "/run-file", "");
       s.options.env["XDG_RUNTIME_DIR"] = s.tree.root + "/run-file";
     },
     [](const Scene& s, const Outcome& o) {
       expect_earlier_entry_kept(s, o);
       EXPECT_EQ(read_file(s.tree.root + "/run-file"), "");
     }},
    {"RuntimeDirectoryBelowAFile",
     [](Scene& s) {
       usual_bundle_and_earlier_entry(s);
       write_file(s.tree.root + "/run-file", "");
       s.options.env["XDG_RUNTIME_DIR"] = s.tree.root + "/run-file/run";
     },
     expect_earlier_entry_kept},
    {"LockFileThatIsADirectory",
     [](Scene& s) { usual_bundle_and_earlier_entry(s); make_dirs(s.tree.lock_file()); },
     [](const Scene& s, const Outcome& o) {
       expect_earlier_entry_kept(s, o);
       EXPECT_FALSE(exists(s.tree.runtime_area()));
     }},
    {"BaseDirectoryThatCannotBeWrittenNorHoldsALock",
     [](Scene& s) {
       usual_bundle_and_earlier_entry(s);
       make_dirs(s.tree.base_dir());
       chmod(s.tree.base_dir().c_str(), 0500);
       s.options.env["DESKTOP_TEST_OBEY_MODES"] = "1";
     },
     [](const Scene& s, const Outcome& o) {
       expect_earlier_entry_kept(s, o);
       EXPECT_FALSE(exists(s.tree.lock_file()));
     }},
    {"BaseDirectoryThatCannotBeWrittenBesideAnOldLock",
     [](Scene& s) {
       usual_bundle_and_earlier_entry(s);
       write_file(s.tree.lock_file(), "");
       chmod(s.tree.lock_file().c_str(), 0600);
       chmod(s.tree.base_dir().c_str(), 0500);
       s.options.env["DESKTOP_TEST_OBEY_MODES"] = "1";
     },
     [](const Scene& s, const Outcome& o) {
       expect_earlier_entry_kept(s, o);
       EXPECT_FALSE(exists(s.tree.runtime_area()));
     }},
    {"RuntimeAreaThatCannotBeWritten",
     [](Scene& s) {
       usual_bundle_and_earlier_entry(s);
       make_dirs(s.tree.runtime_area());
       chmod(s.tree.runtime_area().c_str(), 0500);
       s.options.env["DESKTOP_TEST_OBEY_MODES"] = "1";
     },
     [](const Scene& s, const Outcome& o) {
       expect_earlier_entry_kept(s, o);
       EXPECT_EQ(list_dir(s.tree.runtime_area()), std::vector<std::string>{});
     }},
};

INSTANTIATE_TEST_SUITE_P(BadInput, InstallCases, testing::ValuesIn(kBadInputCases),
                         [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

TEST(Install, SecondInstanceFindsTheEntryIdenticalAndOnlyAddsItsMarker) {
  Scene s;
  s.usual_bundle();
  Outcome first = s.install();
  std::string text = expect_installed(s, first);
  struct stat before, after;
  ASSERT_EQ(stat(s.tree.user_entry().c_str(), &before), 0);
  Outcome second = s.install();
  EXPECT_EQ(expect_installed(s, second), text);
  ASSERT_EQ(stat(s.tree.user_entry().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino) << "the entry was written again";
  EXPECT_TRUE(exists(marker_of(s, first)));
  EXPECT_TRUE(exists(marker_of(s, second)));
}

TEST(Install, AnotherLaunchTargetRewritesTheEntry) {
  Scene s;
  s.usual_bundle();
  expect_installed(s, s.install());
  s.options.env["APPIMAGE"] = "/opt/Other.AppImage";
  Outcome o = s.install();
  EXPECT_EQ(entry_string(expect_installed(s, o), "Exec"), "\"/opt/Other.AppImage\" %U");
}

// The entry cannot be written: the warning, and the marker gone again, while
// the runtime directory and the icon copy stay.
struct WriteFailure {
  const char* name;
  std::function<void(Scene&)> deny;
  std::string (*expected_reason)(const Scene&);
};

TEST(Install, WriteFailureWarnsAndTakesTheMarkerBack) {
  const WriteFailure failures[] = {
      {"the entry's directory cannot be made",
       [](Scene& s) { chmod(s.tree.data_home.c_str(), 0500); },
       [](const Scene&) { return std::string("Permission denied"); }},
      {"the entry cannot be written",
       [](Scene& s) {
         make_dirs(s.tree.data_home + "/applications");
         chmod((s.tree.data_home + "/applications").c_str(), 0500);
       },
       [](const Scene& s) {
         return "Failed to create file \u201c" + s.tree.user_entry() + ".";
       }},
  };
  for (const WriteFailure& failure : failures) {
    SCOPED_TRACE(failure.name);
    Scene s;
    s.usual_bundle();
    failure.deny(s);
    s.options.env["DESKTOP_TEST_OBEY_MODES"] = "1";
    Outcome o = s.install();
    EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
    EXPECT_EQ(o.records, std::vector<std::string>{kEmptyRecord});
    ASSERT_EQ(o.logs.size(), 1u) << o.child.out;
    const std::string prefix =
        "WARNING - Failed to install desktop entry " + s.tree.user_entry() + ": ";
    EXPECT_EQ(o.logs[0].rfind(prefix + failure.expected_reason(s), 0), 0u) << o.logs[0];
    EXPECT_NE(o.logs[0].find("Permission denied"), std::string::npos) << o.logs[0];
    EXPECT_FALSE(exists(s.tree.user_entry()));
    EXPECT_FALSE(exists(marker_of(s, o)));
    EXPECT_EQ(read_file(s.tree.icon_copy()), kIconBytes);
  }
}

}  // namespace
