// DesktopEntryLock: what it creates, what it reuses, when it is not held,
// and that it waits for another process's lock through interruptions.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "desktop_fixture.h"
#include "desktop_internal.h"
#include "scenario.h"

namespace {

using namespace desktop_test;

std::string mode_of(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "absent";
  char text[8];
  std::snprintf(text, sizeof text, "%04o", info.st_mode & 07777);
  return text;
}

// The open descriptors of this process that name `path`, as "cloexec" or
// "inherited" each.
std::string descriptors_of(const std::string& path) {
  std::string found;
  for (const std::string& name : list_dir("/proc/self/fd")) {
    char target[4096] = {};
    std::string link = "/proc/self/fd/" + name;
    if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || path != target) continue;
    const int flags = fcntl(std::stoi(name), F_GETFD);
    found += (flags & FD_CLOEXEC) ? "cloexec " : "inherited ";
  }
  return found;
}

// Takes the lock with the umask cleared and reports what is there.
NORVALE_SCENARIO(lock_and_report) {
  umask(0);
  g_autofree char* dir = desktop_runtime_dir_path();
  g_autofree char* base = g_path_get_dirname(dir);
  const std::string lock_path = std::string(dir) + ".lock";
  {
    DesktopEntryLock lock(dir);
    std::printf("held=%d base=%s lock=%s area=%s fds=%s\n", lock.held() ? 1 : 0,
                mode_of(base).c_str(), mode_of(lock_path).c_str(), mode_of(dir).c_str(),
                descriptors_of(lock_path).c_str());
  }
  std::printf("after=%s\n", descriptors_of(lock_path).c_str());
  return 0;
}

TEST(Lock, FirstLockCreatesTheBaseDirectoryAndAnEmptyLockFileOnly) {
  XdgTree tree;
  auto r = norvale_test::run_scenario("lock_and_report", tree.options());
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, "held=1 base=0700 lock=0600 area=absent fds=cloexec \nafter=\n");
  EXPECT_EQ(read_file(tree.lock_file()), "");
}

TEST(Lock, ExistingLockFileIsReusedUnchanged) {
  XdgTree tree;
  make_dirs(tree.base_dir());
  chmod(tree.base_dir().c_str(), 0750);
  write_file(tree.lock_file(), "");
  chmod(tree.lock_file().c_str(), 0640);
  struct stat before, after;
  ASSERT_EQ(stat(tree.lock_file().c_str(), &before), 0);
  for (int run = 0; run < 2; ++run) {
    auto r = norvale_test::run_scenario("lock_and_report", tree.options());
    EXPECT_EQ(r.out, "held=1 base=0750 lock=0640 area=absent fds=cloexec \nafter=\n") << r.err;
  }
  ASSERT_EQ(stat(tree.lock_file().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(after.st_size, 0);
}

TEST(Lock, IsNotHeldWhenItsFilesCannotBeMade) {
  struct Blocker {
    const char* name;
    void (*arrange)(const XdgTree&);
  };
  const Blocker blockers[] = {
      {"base directory taken by a file", [](const XdgTree& t) { write_file(t.base_dir(), ""); }},
      {"runtime directory taken by a file",
       [](const XdgTree& t) {
         remove_tree(t.runtime);
         write_file(t.runtime, "");
       }},
      {"lock file taken by a directory", [](const XdgTree& t) { make_dirs(t.lock_file()); }},
  };
  for (const Blocker& blocker : blockers) {
    SCOPED_TRACE(blocker.name);
    XdgTree tree;
    blocker.arrange(tree);
    auto r = norvale_test::run_scenario("lock_and_report", tree.options());
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out.rfind("held=0 ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("fds=\n"), std::string::npos) << r.out;
  }
}

// Whether `pid` waits for a flock lock, according to the kernel.
bool waits_for_flock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string number, arrow, kind, advisory, mode, holder;
    words >> number >> arrow >> kind >> advisory >> mode >> holder;
    if (arrow == "->" && kind == "FLOCK" && holder == std::to_string(pid)) return true;
  }
  return false;
}

void wait_until_waiting(pid_t pid) {
  while (!waits_for_flock(pid)) usleep(1000);
}

int handled_fd = -1;
volatile sig_atomic_t interruptions = 0;

void note_interruption(int) {
  interruptions = interruptions + 1;
  const char byte = 'i';
  (void)!write(handled_fd, &byte, 1);
}

void read_byte(int fd) {
  char byte;
  SCENARIO_CHECK(read(fd, &byte, 1) == 1);
}

int reap(pid_t pid) {
  int status = 0;
  SCENARIO_CHECK(waitpid(pid, &status, 0) == pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A holder process keeps the lock; a signaller interrupts this process's
// wait with a signal whose handler does not restart system calls, waits
// until the wait has resumed and only then lets the holder go.
NORVALE_SCENARIO(lock_waits_through_interruptions) {
  g_autofree char* dir = desktop_runtime_dir_path();
  int held[2], release[2], handled[2];
  SCENARIO_CHECK(pipe(held) == 0 && pipe(release) == 0 && pipe(handled) == 0);
  handled_fd = handled[1];
  struct sigaction action = {};
  action.sa_handler = note_interruption;
  SCENARIO_CHECK(sigaction(SIGUSR1, &action, nullptr) == 0);

  const pid_t holder = fork();
  if (holder == 0) {
    DesktopEntryLock lock(dir);
    const char byte = 'h';
    SCENARIO_CHECK(lock.held() && write(held[1], &byte, 1) == 1);
    read_byte(release[0]);
    std::_Exit(0);
  }
  read_byte(held[0]);
  const pid_t self = getpid();
  const pid_t signaller = fork();
  if (signaller == 0) {
    wait_until_waiting(self);
    SCENARIO_CHECK(kill(self, SIGUSR1) == 0);
    read_byte(handled[0]);
    wait_until_waiting(self);
    SCENARIO_CHECK(write(release[1], "r", 1) == 1);
    std::_Exit(0);
  }
  DesktopEntryLock lock(dir);
  SCENARIO_CHECK(lock.held());
  SCENARIO_CHECK(interruptions == 1);
  SCENARIO_CHECK(reap(signaller) == 0);
  SCENARIO_CHECK(reap(holder) == 0);
  std::puts("waited");
  return 0;
}

TEST(Lock, WaitsForAnotherProcessThroughAnInterruptingSignal) {
  XdgTree tree;
  auto r = norvale_test::run_scenario("lock_waits_through_interruptions", tree.options());
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, "waited\n");
}

}  // namespace
