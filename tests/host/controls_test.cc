// The extension registry and the lifecycle controls around a session.

#include <Python.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "child_process.h"
#include "dart_side.h"
#include "scenario.h"

namespace {

using namespace norvale_test;

// Built-in modules that name which initialisation function made them.
template <int N>
PyObject* make_tagged_module() {
  static PyModuleDef def = {PyModuleDef_HEAD_INIT, "tagged", nullptr, -1, nullptr,
                            nullptr, nullptr, nullptr, nullptr};
  PyObject* module = PyModule_Create2(&def, 3);
  if (module != nullptr && PyModule_AddIntConstant(module, "tag", N) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

TEST(ExtensionRegistry, NullArgumentsAreRefused) {
  EXPECT_EQ(kestrune_register_extension(nullptr, make_tagged_module<1>), -1);
  EXPECT_EQ(kestrune_register_extension("x", nullptr), -1);
}

// The interpreter's table of built-in modules, as the embedding appended to
// it (not part of the limited API; this test links the versioned library).
struct inittab_entry {
  const char* name;
  PyObject* (*initfunc)(void);
};
extern "C" inittab_entry* PyImport_Inittab;

PyObject* probe_names(PyObject*, PyObject*) {
  PyObject* names = PyList_New(0);
  for (inittab_entry* p = PyImport_Inittab; names != nullptr && p->name != nullptr; ++p) {
    PyObject* name = PyUnicode_FromString(p->name);
    if (name == nullptr || PyList_Append(names, name) != 0) Py_CLEAR(names);
    Py_XDECREF(name);
  }
  return names;
}

PyObject* make_probe_module() {
  static PyMethodDef methods[] = {{"names", probe_names, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};
  static PyModuleDef def = {PyModuleDef_HEAD_INIT, "inittab_probe", nullptr, -1, methods,
                            nullptr, nullptr, nullptr, nullptr};
  return PyModule_Create2(&def, 3);
}

NORVALE_SCENARIO(extensions_import_newest_first) {
  SCENARIO_CHECK(kestrune_register_extension("ext_a", make_tagged_module<1>) == 0);
  SCENARIO_CHECK(kestrune_register_extension("ext_b", make_tagged_module<2>) == 0);
  SCENARIO_CHECK(kestrune_register_extension("ext_dup", make_tagged_module<3>) == 0);
  SCENARIO_CHECK(kestrune_register_extension("ext_dup", make_tagged_module<4>) == 0);
  SCENARIO_CHECK(kestrune_register_extension("inittab_probe", make_probe_module) == 0);
  return RunRequest()
      .source(R"(
import sys, ext_a, ext_b, ext_dup, norvale, inittab_probe
ours = ("norvale", "ext_a", "ext_b", "ext_dup", "inittab_probe")
order = [n for n in inittab_probe.names() if n in ours]
assert order == ["norvale", "inittab_probe", "ext_dup", "ext_dup", "ext_b", "ext_a"], order
assert set(ours) <= set(sys.builtin_module_names)
assert (ext_a.tag, ext_b.tag) == (1, 2) and ext_dup.tag in (3, 4)
assert hasattr(norvale, "send_bytes")
)")
      .run_sync();
}

TEST(ExtensionRegistry, NorvaleComesFirstThenTheExtensionsNewestFirst) {
  auto result = run_scenario("extensions_import_newest_first");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

NORVALE_SCENARIO(registration_reaches_the_next_start) {
  bind_vm();
  int64_t ready = new_port(), exit = new_port();
  const int64_t inbox = 5;
  SCENARIO_CHECK(RunRequest()
                     .source(R"(
import os, threading, norvale
done = threading.Event()
norvale.set_enqueue_handler_func(5, lambda b: done.set())
norvale.send_bytes(int(os.environ["READY"]), b"up")
done.wait()
try:
    import late_ext
except ImportError:
    pass
else:
    raise AssertionError("registered while running, yet importable")
)")
                     .env("READY", std::to_string(ready))
                     .exit_port(exit)
                     .run_async() == 0);
  SCENARIO_CHECK(wait_bytes(ready) == "up");
  SCENARIO_CHECK(kestrune_register_extension("late_ext", make_tagged_module<7>) == 0);
  SCENARIO_CHECK(deliver(inbox, "go") == 0);
  SCENARIO_CHECK(wait_int(exit) == 0);
  return RunRequest().source("import late_ext\nassert late_ext.tag == 7\n").run_sync();
}

TEST(ExtensionRegistry, ARegistrationWhileRunningReachesOnlyTheNextStart) {
  auto result = run_scenario("registration_reaches_the_next_start");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

constexpr const char kBusyProgram[] = R"(
import os, norvale
norvale.send_bytes(int(os.environ["READY"]), b"up")
while True:
    sum(range(1000))
)";

NORVALE_SCENARIO(request_stop_interrupts_the_program) {
  SCENARIO_CHECK(kestrune_request_stop() == -1);
  bind_vm();
  int64_t ready = new_port(), exit = new_port();
  SCENARIO_CHECK(RunRequest().source(kBusyProgram).env("READY", std::to_string(ready))
                     .exit_port(exit).run_async() == 0);
  SCENARIO_CHECK(wait_bytes(ready) == "up");
  SCENARIO_CHECK(kestrune_request_stop() == 0);
  SCENARIO_CHECK(wait_int(exit) == 1);
  return 0;
}

TEST(LifecycleControls, RequestStopEndsAProgramThatDoesNotCatchTheInterrupt) {
  auto result = run_scenario("request_stop_interrupts_the_program");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_NE(result.err.find("Traceback (most recent call last):\n"), std::string::npos);
  EXPECT_EQ(result.err.substr(result.err.size() - 18), "KeyboardInterrupt\n") << result.err;
}

// A host that handles SIGINT itself, as a GUI main loop does: Python then
// installs no SIGINT handler of its own, yet the stop request still ends
// the program.
NORVALE_SCENARIO(request_stop_when_the_host_owns_sigint) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGINT, &action, nullptr);
  bind_vm();
  int64_t ready = new_port(), exit = new_port();
  SCENARIO_CHECK(RunRequest()
                     .source(std::string("import signal\nassert signal.getsignal(signal.SIGINT) == signal.SIG_DFL\n") +
                             kBusyProgram)
                     .env("READY", std::to_string(ready))
                     .exit_port(exit)
                     .run_async() == 0);
  SCENARIO_CHECK(wait_bytes(ready) == "up");
  SCENARIO_CHECK(kestrune_request_stop() == 0);
  SCENARIO_CHECK(wait_int(exit) == 1);
  return 0;
}

TEST(LifecycleControls, RequestStopEndsTheProgramAlsoWhenTheHostOwnsSigint) {
  auto result = run_scenario("request_stop_when_the_host_owns_sigint");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - 18), "KeyboardInterrupt\n") << result.err;
}

NORVALE_SCENARIO(request_stop_can_be_caught) {
  bind_vm();
  int64_t ready = new_port(), exit = new_port();
  SCENARIO_CHECK(RunRequest()
                     .source(R"(
import os, threading, norvale
try:
    norvale.send_bytes(int(os.environ["READY"]), b"up")
    while True:
        sum(range(1000))
except KeyboardInterrupt:
    assert threading.current_thread() is threading.main_thread()
    print("interrupted in the thread that started the interpreter")
)")
                     .env("READY", std::to_string(ready))
                     .exit_port(exit)
                     .run_async() == 0);
  SCENARIO_CHECK(wait_bytes(ready) == "up");
  SCENARIO_CHECK(kestrune_request_stop() == 0);
  SCENARIO_CHECK(wait_int(exit) == 0);
  return 0;
}

TEST(LifecycleControls, TheInterruptArrivesAsKeyboardInterruptInTheSessionThread) {
  auto result = run_scenario("request_stop_can_be_caught");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out, "interrupted in the thread that started the interpreter\n");
}

NORVALE_SCENARIO(finalize_clears_and_is_idempotent) {
  kestrune_finalize();
  kestrune_finalize();
  SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  SCENARIO_CHECK(PyImport_AppendInittab("norvale", PyInit_norvale) == 0);
  Py_Initialize();
  SCENARIO_CHECK(norvale_is_python_initialized() == 1);
  PyObject* main_module = PyImport_AddModule("__main__");
  PyObject* globals = PyModule_GetDict(main_module);
  PyObject* code = Py_CompileString(
      "import norvale\n"
      "class Witness:\n"
      "    def __call__(self, b): pass\n"
      "    def __del__(self): print('handler released', flush=True)\n"
      "norvale.set_enqueue_handler_func(3, Witness())\n",
      "<test>", Py_file_input);
  SCENARIO_CHECK(code != nullptr);
  PyObject* result = PyEval_EvalCode(code, globals, globals);
  Py_DECREF(code);
  SCENARIO_CHECK(result != nullptr);
  Py_DECREF(result);
  kestrune_finalize();
  SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  SCENARIO_CHECK(deliver(3, "x") == -2);
  kestrune_finalize();
  return 0;
}

TEST(LifecycleControls, FinalizeReleasesTheHandlersAndMayBeCalledAgain) {
  auto result = run_scenario("finalize_clears_and_is_idempotent");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out, "handler released\n");
}

NORVALE_SCENARIO(hard_exit_skips_everything) {
  std::atexit([] { std::fputs("exit handler ran\n", stderr); });
  std::fputs("buffered, never flushed", stdout);
  kestrune_hard_exit(3);
}

TEST(LifecycleControls, HardExitEndsAtOnceWithTheStatus) {
  auto result = run_scenario("hard_exit_skips_everything");
  EXPECT_EQ(result.exit_code(), 3);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

}  // namespace
