// Failures that the interpreter does not produce on demand, injected by
// wrapping the embedding calls at link time (-Wl,--wrap).

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "child_process.h"
#include "norvale_internal.h"
#include "scenario.h"

extern "C" {
int __real_PyImport_AppendInittab(const char* name, PyObject* (*init)(void));
void __real_Py_Initialize(void);

// Fails the append of the module named in NORVALE_FAIL_INITTAB.
int __wrap_PyImport_AppendInittab(const char* name, PyObject* (*init)(void)) {
  const char* failing = std::getenv("NORVALE_FAIL_INITTAB");
  if (failing != nullptr && std::strcmp(failing, name) == 0) return -1;
  return __real_PyImport_AppendInittab(name, init);
}

// Leaves the interpreter down when NORVALE_FAIL_INITIALIZE is set.
void __wrap_Py_Initialize(void) {
  if (std::getenv("NORVALE_FAIL_INITIALIZE") == nullptr) __real_Py_Initialize();
}
}

namespace {

using namespace norvale_test;

PyObject* empty_module() {
  static PyModuleDef def = {PyModuleDef_HEAD_INIT, "ext", nullptr, -1, nullptr,
                            nullptr, nullptr, nullptr, nullptr};
  return PyModule_Create2(&def, 3);
}

NORVALE_SCENARIO(start_with_extensions) {
  SCENARIO_CHECK(kestrune_register_extension("ext_one", empty_module) == 0);
  SCENARIO_CHECK(kestrune_register_extension("ext_two", empty_module) == 0);
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = "print('ran')";
  config.synchronous = 1;
  int32_t result = kestrune_run(&config);
  SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  return result;
}

struct InjectedCase {
  const char* name;
  const char* variable;
  const char* value;
  const char* err;
};

TEST(InjectedFailure, StartUpFailuresStopBeforeTheProgramWithTheirMessage) {
  const InjectedCase cases[] = {
      {"norvale_append", "NORVALE_FAIL_INITTAB", "norvale",
       "[kestrune_run] inittab append failed for norvale\n"},
      {"extension_append", "NORVALE_FAIL_INITTAB", "ext_one",
       "[kestrune_run] inittab append failed for ext_one\n"},
      {"initialize", "NORVALE_FAIL_INITIALIZE", "1", "[kestrune_run] Py_Initialize failed\n"},
  };
  for (const InjectedCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChildOptions options;
    options.env[c.variable] = c.value;
    auto result = run_scenario("start_with_extensions", options);
    EXPECT_EQ(result.exit_code(), 1) << result.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
  auto unharmed = run_scenario("start_with_extensions");
  EXPECT_EQ(unharmed.exit_code(), 0) << unharmed.err;
  EXPECT_EQ(unharmed.out, "ran\n");
}

NORVALE_SCENARIO(child_without_norvale) {
  std::string program = "child", flag = "-c";
  std::string code = "import sys; print('norvale' in sys.builtin_module_names)";
  char* argv[] = {program.data(), flag.data(), code.data(), nullptr};
  return kestrune_main(3, argv);
}

TEST(InjectedFailure, AChildWhoseAppendFailsRunsWithoutNorvale) {
  ChildOptions options;
  options.env["NORVALE_FAIL_INITTAB"] = "norvale";
  auto result = run_scenario("child_without_norvale", options);
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.err, "[kestrune_main] inittab append failed for norvale\n");
  EXPECT_EQ(result.out, "False\n");
}

}  // namespace
