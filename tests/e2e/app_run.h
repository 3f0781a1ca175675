#ifndef TESTS_E2E_APP_RUN_H_
#define TESTS_E2E_APP_RUN_H_

// One run of the real bundle: runner under a display server of its own
// (tests/support/display), the stand-in application inside it running the
// bundle's Python program. The test steers the application through its
// control descriptor (steps as the application's NORVALE_APP_CONTROL_FD
// takes them) and follows it through the stand-in trace, which comes
// through a pipe, so that it learns what happened when it happened; the
// streams of runner are collected meanwhile.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "runner_fixture.h"

namespace e2e_test {

using norvale_test::EnvChanges;
using norvale_test::Trace;
using norvale_test::TraceLine;
using norvale_test::XdgTree;

struct AppRunOptions {
  std::string runner = NORVALE_RUNNER;
  // Put in front of the harness, e.g. to run it in a namespace of its own.
  std::vector<std::string> wrapper;
  std::vector<std::string> display = {"--x11"};
  // Between the harness and runner, e.g. env with a PATH for runner alone.
  std::vector<std::string> launcher;
  EnvChanges env;  // on top of the tree's and the application's
  // Runner's standard output into this file instead of a pipe.
  std::string stdout_file;
};

class AppRun {
 public:
  AppRun(const XdgTree& tree, const AppRunOptions& options = {});
  ~AppRun();
  AppRun(const AppRun&) = delete;
  AppRun& operator=(const AppRun&) = delete;

  // Reads until a trace line with `key` whose first values are `values`
  // (true, the line in `found`), or until the trace ends or the application
  // reports an error (false). Lines read earlier count too.
  bool wait_for(const std::string& key, const std::vector<std::string>& values = {},
                TraceLine* found = nullptr);
  // Hands the application one step.
  void step(const std::string& line);
  // Presses the program's button once the program has sent it (the
  // program sends its buttons after it said it is ready); false if it never
  // came.
  bool click(const std::string& button);
  // Waits for the run to end and reads everything; the harness's wait
  // status (its exit code is runner's, 128 + N for a signal N).
  int finish();

  // From the application's start line; -1 before it came.
  pid_t runner_pid() const;
  Trace trace() const { return Trace::parse(trace_text_); }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  // What happened, for failure messages.
  std::string describe() const;

 private:
  // Reads whatever arrives next; false when every stream has ended.
  bool read_some(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int status_ = -1;
  bool hang_guard_fired_ = false;
  int control_fd_ = -1;
  int trace_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string trace_text_, out_, err_;
};

// The environment every run gets: the tree, no variable that would change
// what runner or the stand-in engine does, and the application's transcript
// in the tree.
EnvChanges app_env(const XdgTree& tree);

// runner's path with every link resolved, as /proc/PID/exe names it.
std::string canonical_runner();
// Whether a wait status is an exit with `code`.
bool exited_with(int status, int code);

// What is left of the desktop integration's files in the tree.
std::vector<std::string> desktop_files_left(const XdgTree& tree);

// A descriptor that becomes readable when the process ends; -1 if it has
// ended already.
int watch_process(pid_t pid);
// Whether the watched process ends (within a hang guard); closes `pidfd`.
bool ends(int pidfd);
// The processes whose process group is `group`, zombies left out.
std::vector<pid_t> processes_in_group(pid_t group);

// Shell code (for `sh -c`, in a private mount namespace) that hides the
// build's CPython from everything started after it, and fails when it cannot:
// an empty file system over its prefix, or, for the distribution's CPython,
// whose prefix is the system's /usr, over its standard library, with its
// shared libraries made empty files.
std::string hide_builds_python();
// A wrapper that runs its command with the build's CPython hidden.
std::vector<std::string> hiding_builds_python();

}  // namespace e2e_test

#endif  // TESTS_E2E_APP_RUN_H_
