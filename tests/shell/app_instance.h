#ifndef TESTS_SHELL_APP_INSTANCE_H_
#define TESTS_SHELL_APP_INSTANCE_H_

// One instance of the bundle's runner with its application, as a user
// starts it: the stand-in application runs the bundle's Python program and
// shows the window once the program is ready. It runs on the display and
// in the XDG tree of this process's environment. The test follows it
// through the stand-in trace and closes its window through the
// application's control descriptor.

#include <string>

#include "child_process.h"
#include "traced_child.h"

namespace shell_test {

class AppInstance : public norvale_test::TracedChild {
 public:
  // Starts `runner` with `env` on top of this process's environment; its
  // output goes to files beside `log_stem`.
  AppInstance(const std::string& runner, const norvale_test::EnvChanges& env,
              const std::string& log_stem);

  // Reads the trace until a line with the key `key` (true), or until the
  // instance ends without one (false). Lines read earlier count too.
  bool wait_for(const std::string& key);
  // Asks the application to close its window; the instance then ends.
  void close_window();
};

}  // namespace shell_test

#endif  // TESTS_SHELL_APP_INSTANCE_H_
