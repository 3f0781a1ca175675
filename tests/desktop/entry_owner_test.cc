// user_entry_owner: which files at the entry path are ours; and the quoting
// of a launch target for the "Exec" key.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "desktop_fixture.h"
#include "desktop_internal.h"
#include "scenario.h"

namespace {

using namespace desktop_test;

constexpr char kOurs[] = "[Desktop Entry]\nName=App\nX-Zemtra-Generated=true\n";

struct OwnerCase {
  const char* name;
  std::function<void(const std::string& path)> arrange;  // makes what is at `path`
  UserEntryOwner expected;
  const char* contents;  // what kOurs hands out
};

const OwnerCase kOwnerCases[] = {
    {"nothing there", [](const std::string&) {}, UserEntryOwner::kAbsent, nullptr},
    {"generated entry", [](const std::string& p) { write_file(p, kOurs); },
     UserEntryOwner::kOurs, kOurs},
    {"generated key set to false",
     [](const std::string& p) { write_file(p, "[Desktop Entry]\nX-Zemtra-Generated=false\n"); },
     UserEntryOwner::kOurs, "[Desktop Entry]\nX-Zemtra-Generated=false\n"},
    {"user's own entry",
     [](const std::string& p) { write_file(p, "[Desktop Entry]\nName=App\n"); },
     UserEntryOwner::kForeign, nullptr},
    {"key only in another group",
     [](const std::string& p) {
       write_file(p, "[Desktop Entry]\nName=App\n[Desktop Action x]\nX-Zemtra-Generated=true\n");
     },
     UserEntryOwner::kForeign, nullptr},
    {"empty file", [](const std::string& p) { write_file(p, ""); }, UserEntryOwner::kForeign,
     nullptr},
    {"not a key file", [](const std::string& p) { write_file(p, "just some words\n"); },
     UserEntryOwner::kForeign, nullptr},
    {"key after a NUL byte",
     [](const std::string& p) {
       write_file(p, std::string("[Desktop Entry]\nName=App\n") + '\0' + "X-Zemtra-Generated=true\n");
     },
     UserEntryOwner::kForeign, nullptr},
    {"junk after a NUL byte",
     [](const std::string& p) { write_file(p, std::string(kOurs) + std::string("\0[junk", 6)); },
     UserEntryOwner::kOurs, kOurs},
    {"symbolic link to a generated entry",
     [](const std::string& p) {
       write_file(p + ".real", kOurs);
       ASSERT_EQ(symlink((p + ".real").c_str(), p.c_str()), 0);
     },
     UserEntryOwner::kForeign, nullptr},
    {"dangling symbolic link",
     [](const std::string& p) { ASSERT_EQ(symlink("/nonexistent", p.c_str()), 0); },
     UserEntryOwner::kForeign, nullptr},
    {"directory", [](const std::string& p) { make_dirs(p); }, UserEntryOwner::kForeign, nullptr},
    {"a parent that is a file", [](const std::string&) {}, UserEntryOwner::kForeign, nullptr},
};

TEST(UserEntryOwner, ClassifiesWhatIsAtThePath) {
  for (const OwnerCase& c : kOwnerCases) {
    SCOPED_TRACE(c.name);
    XdgTree tree;
    std::string path = tree.user_entry();
    make_dirs(tree.data_home + "/applications");
    if (std::string(c.name) == "a parent that is a file") {
      write_file(tree.root + "/file", "");
      path = tree.root + "/file/" + entry_file_name();
    }
    c.arrange(path);
    char* contents = nullptr;
    EXPECT_EQ(user_entry_owner(path.c_str(), &contents), c.expected);
    if (c.contents != nullptr) {
      ASSERT_NE(contents, nullptr);
      EXPECT_STREQ(contents, c.contents);
    } else {
      EXPECT_EQ(contents, nullptr);
    }
    g_free(contents);
    EXPECT_EQ(user_entry_owner(path.c_str(), nullptr), c.expected);
  }
}

// Classifies a path in a directory that this process may not search.
NORVALE_SCENARIO(owner_behind_unsearchable_dir) {
  SCENARIO_CHECK(obey_file_modes());
  const char* path = g_getenv("DESKTOP_TEST_PATH");
  char* contents = nullptr;
  std::printf("%d %s\n", static_cast<int>(user_entry_owner(path, &contents)),
              contents == nullptr ? "untouched" : "written");
  return 0;
}

TEST(UserEntryOwner, UnsearchableParentIsForeignNotAbsent) {
  XdgTree tree;
  write_file(tree.user_entry(), kOurs);
  chmod((tree.data_home + "/applications").c_str(), 0600);
  auto options = tree.options();
  options.env["DESKTOP_TEST_PATH"] = tree.user_entry();
  auto r = norvale_test::run_scenario("owner_behind_unsearchable_dir", options);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, "2 untouched\n");
}

TEST(QuoteExecArgument, QuotesAndEscapesExactlyFourCharacters) {
  const struct {
    const char* argument;
    const char* quoted;
  } cases[] = {
      {"", "\"\""},
      {"/opt/app/runner", "\"/opt/app/runner\""},
      {"/opt/my app$1", "\"/opt/my app\\$1\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"a`b`", "\"a\\`b\\`\""},
      {"$$", "\"\\$\\$\""},
      {"it's 100% ok", "\"it's 100% ok\""},
      {"tab\there\nnewline", "\"tab\there\nnewline\""},
      {"/opt/Zürich/プログラム", "\"/opt/Zürich/プログラム\""},
      {"\xff\x80", "\"\xff\x80\""},
  };
  for (const auto& c : cases) {
    g_autofree char* quoted = quote_exec_argument(c.argument);
    EXPECT_STREQ(quoted, c.quoted) << "argument: " << c.argument;
  }
  g_autofree char* example = quote_exec_argument("/opt/my app$1");
  EXPECT_EQ(std::strlen(example), 16u);
}

TEST(QuoteExecArgument, RoundTripsThroughGLibsShellParser) {
  const char* arguments[] = {"/opt/my app/run", "/a\"b/c", "/a$HOME/c", "/a\\b\\c", "/a`id`/c",
                             "/it's/here", "/Zürich/プログラム", "/x\\\"y$`z"};
  for (const char* argument : arguments) {
    g_autofree char* quoted = quote_exec_argument(argument);
    g_autofree char* line = g_strconcat(quoted, " %U", nullptr);
    int argc = 0;
    g_auto(GStrv) argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(line, &argc, &argv, nullptr)) << line;
    ASSERT_EQ(argc, 2);
    EXPECT_STREQ(argv[0], argument);
    EXPECT_STREQ(argv[1], "%U");
  }
}

}  // namespace
