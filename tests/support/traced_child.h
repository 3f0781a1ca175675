#ifndef TESTS_SUPPORT_TRACED_CHILD_H_
#define TESTS_SUPPORT_TRACED_CHILD_H_

// A program in the background that the test follows through a trace pipe on
// the program's descriptor 3, so the test learns what happened when it
// happened, and steers through one channel of its own. Its output goes to
// files, for failure messages. One that still runs at the end is killed and
// reaped.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "child_process.h"

namespace norvale_test {

class TracedChild {
 public:
  // The child's descriptor for the writing end of the trace pipe.
  static constexpr int kTraceFd = 3;

  // Starts `executable` with `env` on top of this process's environment;
  // its standard output and error go to `log_stem` + ".out" and ".err".
  // The test holds the other end of the child's descriptor `held_fd`:
  // standard input (0) is a pipe, which ends for the child when the test
  // closes it; any other is a socket pair, so that writing to a child that
  // has gone fails instead of raising SIGPIPE, and standard input is then
  // /dev/null.
  TracedChild(const std::string& executable, const EnvChanges& env, const std::string& log_stem,
              int held_fd);
  ~TracedChild();  // kills a child that still runs
  TracedChild(const TracedChild&) = delete;
  TracedChild& operator=(const TracedChild&) = delete;

  pid_t pid() const { return pid_; }
  // Everything traced so far.
  const std::string& trace() const { return trace_; }
  // Waits for the child to end; its wait status.
  int wait();
  // Its standard error so far, for failure messages.
  std::string err() const;

 protected:
  // Reads the trace until a whole line at or after offset `from` that
  // `matches`: the offset just past that line, or std::string::npos once
  // the child has ended without one.
  size_t find_line(const std::function<bool(std::string_view)>& matches, size_t from = 0);
  // The test's end of the held channel; -1 once closed.
  int held_fd() const { return held_fd_; }
  void close_held();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  int held_fd_ = -1;
  int trace_fd_ = -1;
  std::string trace_;
  std::string log_stem_;
};

}  // namespace norvale_test

#endif  // TESTS_SUPPORT_TRACED_CHILD_H_
