#ifndef TESTS_DESKTOP_RUNNER_INSTANCE_H_
#define TESTS_DESKTOP_RUNNER_INSTANCE_H_

// One instance of the real runner in the background, on the display of the
// test process: its standard input closes its window when it ends (the
// stand-in embedding's "at-stdin-end"), and the stand-in's trace comes
// through a pipe on descriptor 3, so the test learns what happened when it
// happened. A Python program started in the instance may write to the same
// descriptor.

#include <cstddef>
#include <string>

#include "child_process.h"
#include "traced_child.h"

namespace desktop_test {

class RunnerInstance : public norvale_test::TracedChild {
 public:
  // Starts `executable` with the environment of `options` on top of this
  // process's; its output goes to files beside `log_stem`.
  RunnerInstance(const std::string& executable, const norvale_test::ChildOptions& options,
                 const std::string& log_stem);

  // Reads the trace until a line that starts with `key` (true), or until
  // the instance ends without one (false). Each line counts once.
  bool wait_for(const std::string& key);
  // Closes the window: the instance then ends by itself.
  void close_window() { close_held(); }

 private:
  size_t consumed_ = 0;  // the trace up to here has been matched past
};

// The environment for runner instances in `tree_options`: no window until
// standard input ends, and the trace on descriptor 3.
norvale_test::ChildOptions instance_options(norvale_test::ChildOptions tree_options);

}  // namespace desktop_test

#endif  // TESTS_DESKTOP_RUNNER_INSTANCE_H_
