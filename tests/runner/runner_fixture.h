#ifndef TESTS_RUNNER_RUNNER_FIXTURE_H_
#define TESTS_RUNNER_RUNNER_FIXTURE_H_

// Running the built runner for real: in a throwaway XDG tree, under a
// display server of its own (tests/support/display), with the stand-in
// embedding's trace as the record of what it did inside the embedding.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace norvale_test {


// A private XDG tree (runtime, data, config, cache, home), removed again
// when the object goes. /usr/share stays in XDG_DATA_DIRS: GTK needs it.
class XdgTree {
 public:
  XdgTree();
  ~XdgTree();
  XdgTree(const XdgTree&) = delete;
  XdgTree& operator=(const XdgTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  // The variables that point into the tree.
  EnvChanges env() const;

 private:
  std::string root_;
};

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);

// One line of the stand-in trace: its key and values, quoted values
// decoded back to their bytes.
struct TraceLine {
  std::string key;
  std::vector<std::string> values;
};

class Trace {
 public:
  static Trace parse(const std::string& text);
  static Trace read(const std::string& path);

  const std::vector<TraceLine>& lines() const { return lines_; }
  // The values of every line with `key`, in order.
  std::vector<std::vector<std::string>> all(const std::string& key) const;
  // The values of the only line with `key` joined by blanks; a marker
  // naming the problem when there is none or more than one.
  std::string only(const std::string& key) const;
  // Position of the first line with `key`, or -1.
  int index_of(const std::string& key) const;

 private:
  std::vector<TraceLine> lines_;
};

// The environment that every runner of the tests gets on top of the
// tree's: the trace, the stand-in application closing its window after the
// report, and none of the variables that would change what runner does.
EnvChanges runner_env(const XdgTree& tree);

struct RunnerRun {
  ChildResult result;
  Trace trace;
};

struct RunnerOptions {
  std::vector<std::string> display_options;  // of with_display
  std::vector<std::string> arguments;        // runner's own
  EnvChanges env_changes;                    // on top of runner_env
  std::string executable = NORVALE_RUNNER;

  RunnerOptions& display(std::vector<std::string> options) {
    display_options = std::move(options);
    return *this;
  }
  RunnerOptions& args(std::vector<std::string> values) {
    arguments = std::move(values);
    return *this;
  }
  RunnerOptions& env(const std::string& name, std::optional<std::string> value) {
    env_changes[name] = std::move(value);
    return *this;
  }
  RunnerOptions& runner(std::string path) {
    executable = std::move(path);
    return *this;
  }
};

// Runs runner once under with_display in a fresh tree.
RunnerRun run_runner(const RunnerOptions& options = {});

// Standard error without what GTK itself says in the test environments
// (weston's headless backend has no seat, which GTK reports); what is left
// should be empty.
std::string unexpected_stderr(const std::string& err);

// A runner that runs in the background until `finish`: its standard input
// is a pipe whose end closes the window (the stand-in's "at-stdin-end"), and
// its trace comes through a pipe, so the test learns what happened when it
// happened.
class BackgroundRunner {
 public:
  BackgroundRunner(const std::vector<std::string>& argv, const EnvChanges& env);
  ~BackgroundRunner();
  BackgroundRunner(const BackgroundRunner&) = delete;
  BackgroundRunner& operator=(const BackgroundRunner&) = delete;

  // Reads the trace until a line with `key` came (true) or the trace ended.
  bool read_trace_until(const std::string& key);
  bool still_running();
  // Closes standard input, reads the rest of the trace and returns the
  // wait status.
  int finish();
  Trace trace() const { return Trace::parse(text_); }

 private:
  pid_t pid_ = -1;  // -1 once reaped
  int status_ = -1;
  int stdin_fd_ = -1;
  int trace_fd_ = -1;
  std::string text_;
  size_t scanned_ = 0;
};

}  // namespace norvale_test

#endif  // TESTS_RUNNER_RUNNER_FIXTURE_H_
