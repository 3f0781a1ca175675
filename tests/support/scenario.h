#ifndef TESTS_SUPPORT_SCENARIO_H_
#define TESTS_SUPPORT_SCENARIO_H_

// Named scenarios: pieces of a test executable that run in a fresh process
// of their own (see run_scenario), for behaviour that changes process-wide
// state. A scenario returns the process's exit status.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

namespace norvale_test {

using Scenario = std::function<int()>;
std::map<std::string, Scenario>& scenarios();

struct ScenarioRegistration {
  ScenarioRegistration(const char* name, Scenario body) { scenarios()[name] = std::move(body); }
};

}  // namespace norvale_test

#define NORVALE_SCENARIO(name)                                                         \
  static int scenario_##name();                                                        \
  static ::norvale_test::ScenarioRegistration scenario_registration_##name(#name,      \
                                                                           scenario_##name); \
  static int scenario_##name()

// Fails a scenario with a message on standard error; asserts stay on in
// every build type.
#define SCENARIO_CHECK(condition)                                                      \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::fflush(stderr);                                                             \
      std::_Exit(99);                                                                  \
    }                                                                                  \
  } while (0)

#endif  // TESTS_SUPPORT_SCENARIO_H_
