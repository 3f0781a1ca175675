#ifndef TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESTS_SUPPORT_CHILD_PROCESS_H_

// Runs a program in a child process and collects what it wrote, so that
// tests can check exit status and the exact bytes on both streams.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace norvale_test {

struct ChildResult {
  int status = -1;           // raw wait status
  std::string out;           // everything written to standard output
  std::string err;           // everything written to standard error
  bool timed_out = false;

  bool exited() const;
  int exit_code() const;     // -1 unless the child exited
  int term_signal() const;   // 0 unless a signal ended the child
};

struct ChildOptions {
  // Variables to set (a value) or to remove (std::nullopt) in the child.
  std::map<std::string, std::optional<std::string>> env;
  std::string stdin_data;
  double timeout_seconds = 60;
};

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options = {});

// Runs the scenario `name` of the current test executable in a fresh process.
ChildResult run_scenario(const std::string& name, const ChildOptions& options = {});

}  // namespace norvale_test

#endif  // TESTS_SUPPORT_CHILD_PROCESS_H_
