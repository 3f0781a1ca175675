#ifndef TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESTS_SUPPORT_CHILD_PROCESS_H_

// Runs a program in a child process and collects what it wrote, so that
// tests can check exit status and the exact bytes on both streams.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace norvale_test {

// Variables to set (a value) or to remove (std::nullopt) in a child.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// This process's environment with `changes` applied, as NAME=VALUE items.
std::vector<std::string> environment_with(const EnvChanges& changes);

// Pointers into `strings` ending with a null one, for exec and posix_spawn.
std::vector<char*> c_strings(std::vector<std::string>& strings);

struct ChildResult {
  int status = -1;           // raw wait status
  std::string out;           // everything written to standard output
  std::string err;           // everything written to standard error
  bool timed_out = false;

  bool exited() const;
  int exit_code() const;     // -1 unless the child exited
  int term_signal() const;   // 0 unless a signal ended the child
};

// Where the child's standard output goes; ChildResult::out holds what
// arrived there either way, but for kStderr (as 2>&1), where it is in err.
enum class StdoutKind { kPipe, kFile, kTerminal, kStderr };

struct ChildOptions {
  EnvChanges env;
  std::string stdin_data;
  double timeout_seconds = 60;
  StdoutKind stdout_kind = StdoutKind::kPipe;
  std::string stdout_file;  // for kFile
};

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options = {});

// Runs the scenario `name` of the current test executable in a fresh process.
ChildResult run_scenario(const std::string& name, const ChildOptions& options = {});

}  // namespace norvale_test

#endif  // TESTS_SUPPORT_CHILD_PROCESS_H_
