#ifndef TESTS_SHELL_APP_INSTANCE_H_
#define TESTS_SHELL_APP_INSTANCE_H_

// One instance of the bundle's runner with its application, as a user
// starts it: the stand-in application runs the bundle's Python program and
// shows the window once the program is ready. It runs on the display and
// in the XDG tree of this process's environment. The test follows it
// through the stand-in trace and closes its window through the
// application's control descriptor.

#include <sys/types.h>

#include <string>

#include "child_process.h"

namespace shell_test {

class AppInstance {
 public:
  // Starts `runner` with `env` on top of this process's environment; its
  // output goes to files beside `log_stem`.
  AppInstance(const std::string& runner, const norvale_test::EnvChanges& env,
              const std::string& log_stem);
  ~AppInstance();  // kills an instance that still runs
  AppInstance(const AppInstance&) = delete;
  AppInstance& operator=(const AppInstance&) = delete;

  pid_t pid() const { return pid_; }
  // Reads the trace until a line with the key `key` (true), or until the
  // instance ends without one (false). Lines read earlier count too.
  bool wait_for(const std::string& key);
  // Everything traced so far.
  const std::string& trace() const { return trace_; }
  // Asks the application to close its window; the instance then ends.
  void close_window();
  // Waits for the instance to end; its wait status.
  int wait();
  // Its standard error so far, for failure messages.
  std::string err() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  int control_fd_ = -1;
  int trace_fd_ = -1;
  std::string trace_;
  std::string log_stem_;
};

}  // namespace shell_test

#endif  // TESTS_SHELL_APP_INSTANCE_H_
