#ifndef TESTS_DESKTOP_DESKTOP_SCENARIOS_H_
#define TESTS_DESKTOP_DESKTOP_SCENARIOS_H_

// Running the installation and the cleanup in a child process, and reading
// back what the child reported.
//
// The child's scenarios take their arguments from the environment:
//   DESKTOP_TEST_EXE      the executable path handed to install_desktop_entry
//   DESKTOP_TEST_BETWEEN  what to do between installation and cleanup
// and report on standard output, one line each:
//   pid N                 the child's process ID
//   log LEVEL DOMAIN MSG  every message logged (DOMAIN "-" for none)
//   record ENTRY DIR MARKER   the installation record ("-" for NULL)

#include <sys/types.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace desktop_test {

struct Outcome {
  norvale_test::ChildResult child;
  pid_t pid = 0;
  std::vector<std::string> logs;     // "LEVEL DOMAIN MSG"
  std::vector<std::string> records;  // "ENTRY DIR MARKER", one per report
};

Outcome run_desktop_scenario(const std::string& scenario, const std::string& executable,
                             norvale_test::ChildOptions options);

// In a scenario: every message logged goes to standard output as a "log"
// line, with its level and domain.
void print_logs_to_stdout();

// The record line of a process that holds nothing.
inline constexpr char kEmptyRecord[] = "- - -";

}  // namespace desktop_test

#endif  // TESTS_DESKTOP_DESKTOP_SCENARIOS_H_
