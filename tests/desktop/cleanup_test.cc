// remove_desktop_entry and on_terminate_signal: who removes what, with other
// instances alive or gone, and the ways a process ends.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "desktop_fixture.h"
#include "desktop_scenarios.h"

namespace {

using namespace desktop_test;

// A process ID that no process can have: the kernel hands out IDs below
// pid_max only.
pid_t never_a_process() {
  std::ifstream file("/proc/sys/kernel/pid_max");
  long pid_max = 0;
  file >> pid_max;
  return static_cast<pid_t>(pid_max);
}

struct Installed {
  XdgTree tree;
  FakeBundle bundle = make_bundle(tree.root + "/bundle");
  norvale_test::ChildOptions options = tree.options();

  Installed() {
    write_file(bundle.first_template(), template_text("App"));
    write_file(bundle.icon(), "icon");
  }
  void add_marker(const std::string& name) { write_file(tree.runtime_area() + "/" + name, ""); }
  Outcome run(const char* scenario) { return run_desktop_scenario(scenario, bundle.executable, options); }

  std::string record_of(const Outcome& o) const {
    return tree.user_entry() + " " + tree.runtime_area() + " " + tree.marker(o.pid);
  }
};

TEST(Cleanup, WithoutAnInstallationTouchesNothing) {
  Installed s;
  Outcome o = s.run("clean_up_only");
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  EXPECT_EQ(o.records, std::vector<std::string>{kEmptyRecord});
  EXPECT_FALSE(exists(s.tree.base_dir()));
}

TEST(Cleanup, LastInstanceRemovesEntryIconAndDirectoryButNotTheLock) {
  Installed s;
  Outcome o = s.run("install_and_clean_up");
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  EXPECT_EQ(o.records, (std::vector<std::string>{s.record_of(o), kEmptyRecord}));
  EXPECT_FALSE(exists(s.tree.user_entry()));
  EXPECT_FALSE(exists(s.tree.runtime_area()));
  EXPECT_TRUE(exists(s.tree.lock_file()));
  EXPECT_EQ(list_dir(s.tree.base_dir()), std::vector<std::string>{APPLICATION_ID ".lock"});
}

TEST(Cleanup, TheExitHandlerCleansUpOnAnOrdinaryExit) {
  Installed s;
  Outcome o = s.run("install_and_exit");
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  EXPECT_EQ(o.records, std::vector<std::string>{s.record_of(o)});
  EXPECT_FALSE(exists(s.tree.user_entry()));
  EXPECT_FALSE(exists(s.tree.runtime_area()));
}

struct MarkerCase {
  const char* name;
  std::vector<std::string> before;  // names put into the runtime directory first
  std::vector<std::string> after;   // what the cleanup leaves there
  bool entry_stays;
};

TEST(Cleanup, ScansTheMarkersOfOtherInstances) {
  const std::string live = std::to_string(getpid());
  const std::string stale = std::to_string(never_a_process());
  const MarkerCase cases[] = {
      {"another live instance", {live}, {live, "icon.png"}, true},
      {"a stale marker", {stale}, {}, false},
      {"a stale marker after a live one", {live, stale}, {live, "icon.png"}, true},
      {"process 1, alive whoever may signal it", {"1"}, {"1", "icon.png"}, true},
      {"names that are no instance",
       {"0", "-3", "12abc", "007x", "4294967295", "99999999999999999999", stale},
       {"-3", "0", "007x", "12abc", "4294967295", "99999999999999999999"},
       false},
  };
  for (const MarkerCase& c : cases) {
    SCOPED_TRACE(c.name);
    Installed s;
    for (const std::string& name : c.before) s.add_marker(name);
    Outcome o = s.run("install_and_clean_up");
    EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
    EXPECT_EQ(o.records, (std::vector<std::string>{s.record_of(o), kEmptyRecord}));
    EXPECT_EQ(list_dir(s.tree.runtime_area()), c.after);
    EXPECT_EQ(exists(s.tree.user_entry()), c.entry_stays);
    EXPECT_FALSE(exists(s.tree.marker(o.pid)));
  }
}

TEST(Cleanup, LeavesAReplacedEntryInPlace) {
  struct Replacement {
    const char* between;
    bool (*still_there)(const std::string& path);
  };
  const Replacement replacements[] = {
      {"foreign-entry",
       [](const std::string& p) { return read_file(p).value_or("").find("Name=Mine") != std::string::npos; }},
      {"symlinked-entry",
       [](const std::string& p) { return g_file_test(p.c_str(), G_FILE_TEST_IS_SYMLINK) != 0; }},
  };
  for (const Replacement& r : replacements) {
    SCOPED_TRACE(r.between);
    Installed s;
    s.options.env["DESKTOP_TEST_BETWEEN"] = r.between;
    Outcome o = s.run("install_and_clean_up");
    EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
    EXPECT_EQ(o.records, (std::vector<std::string>{s.record_of(o), kEmptyRecord}));
    EXPECT_TRUE(r.still_there(s.tree.user_entry()));
    EXPECT_FALSE(exists(s.tree.runtime_area()));
  }
}

TEST(Cleanup, UnreadableRuntimeDirectoryMakesTheInstanceTheLast) {
  Installed s;
  const std::string live = std::to_string(getpid());
  s.add_marker(live);
  s.options.env["DESKTOP_TEST_BETWEEN"] = "unopenable-dir";
  Outcome o = s.run("install_and_clean_up");
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  EXPECT_EQ(o.records, (std::vector<std::string>{s.record_of(o), kEmptyRecord}));
  EXPECT_FALSE(exists(s.tree.user_entry()));
  EXPECT_FALSE(exists(s.tree.icon_copy()));
  EXPECT_TRUE(exists(s.tree.marker(getpid())));
  EXPECT_FALSE(exists(s.tree.marker(o.pid)));
}

TEST(Cleanup, WithoutTheLockKeepsTheRecordForALaterTry) {
  Installed s;
  s.options.env["DESKTOP_TEST_BETWEEN"] = "lock-blocked";
  Outcome o = s.run("install_and_clean_up");
  EXPECT_EQ(o.child.exit_code(), 0) << o.child.err;
  // Installed; the blocked try leaves everything; the later one cleans up.
  EXPECT_EQ(o.records,
            (std::vector<std::string>{s.record_of(o), s.record_of(o), kEmptyRecord}));
  EXPECT_FALSE(exists(s.tree.user_entry()));
  EXPECT_FALSE(exists(s.tree.runtime_area()));
}

TEST(Cleanup, TerminationSignalsCleanUpAndThenEndTheProcessByTheSignal) {
  for (int signum : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signum));
    Installed s;
    s.options.env["DESKTOP_TEST_SIGNAL"] = std::to_string(signum);
    Outcome o = s.run("install_and_signal");
    EXPECT_EQ(o.child.term_signal(), signum) << o.child.err;
    EXPECT_EQ(o.records, std::vector<std::string>{s.record_of(o)});
    EXPECT_FALSE(exists(s.tree.user_entry()));
    EXPECT_FALSE(exists(s.tree.runtime_area()));
    EXPECT_TRUE(exists(s.tree.lock_file()));
  }
}

// Ctrl-C ended a pool's workers, and the pool made new ones before the main
// loop ended the application: nothing else would end them afterwards.
TEST(Cleanup, AChildMadeByForkAfterTheEndingSignalCameEndsByItToo) {
  for (int signum : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signum));
    Installed s;
    s.options.env["DESKTOP_TEST_SIGNAL"] = std::to_string(signum);
    Outcome o = s.run("install_signal_and_fork");
    EXPECT_EQ(o.child.term_signal(), signum) << o.child.err;
    EXPECT_NE(o.child.out.find("child " + std::to_string(signum) + "\n"), std::string::npos)
        << o.child.out;
    EXPECT_FALSE(exists(s.tree.runtime_area()));
  }
}

}  // namespace
