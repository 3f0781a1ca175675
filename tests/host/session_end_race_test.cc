// Deliveries that race the end of a session: Dart threads deliver in a tight
// loop while programs end and the interpreter is finalised, hundreds of
// times. Every delivery must return a defined result without touching a
// finalising interpreter, and every handler call must be accounted for.

#include <Python.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "dart_vm_standin.h"
#include "norvale_internal.h"
#include "scenario.h"

namespace {

using namespace norvale_test;

constexpr int64_t kPort = 31;
std::atomic<long> g_handler_calls{0};

PyObject* count_call(PyObject*, PyObject*) {
  g_handler_calls.fetch_add(1);
  Py_RETURN_NONE;
}

PyObject* make_counter_module() {
  static PyMethodDef methods[] = {{"hit", count_call, METH_O, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};
  static PyModuleDef def = {PyModuleDef_HEAD_INIT, "race_counter", nullptr, -1, methods,
                            nullptr, nullptr, nullptr, nullptr};
  return PyModule_Create2(&def, 3);
}

// Messages in flight at both ends: sends right after the start and as the
// program's last act, deliveries throughout.
constexpr const char kHandlerProgram[] =
    "import norvale, race_counter, time, os\n"
    "out = int(os.environ['OUT_PORT'])\n"
    "for i in range(5): norvale.send_bytes(out, b'start %d' % i)\n"
    "norvale.set_enqueue_handler_func(31, race_counter.hit)\n"
    "time.sleep(0.002)\n"
    "for i in range(5): norvale.send_bytes(out, b'end %d' % i)\n";

// Dart threads that deliver until told to stop, tallying the results.
class Deliverers {
 public:
  explicit Deliverers(int threads) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        const uint8_t byte = 1;
        while (!stop_.load()) {
          int r = Norvale_EnqueueMessage(kPort, &byte, 1);
          tally_[r == 0 ? 0 : r == -1 ? 1 : r == -2 ? 2 : 3].fetch_add(1);
          // Between sessions, let the next one start.
          if (r == -2) std::this_thread::yield();
        }
      });
    }
  }
  // Stops the threads; false when any delivery returned an undefined result.
  bool finish() {
    stop_.store(true);
    for (auto& thread : threads_) thread.join();
    std::fprintf(stderr, "handled %ld, no handler %ld, not running %ld\n", tally_[0].load(),
                 tally_[1].load(), tally_[2].load());
    return tally_[3].load() == 0;
  }
  long handled() const { return tally_[0].load(); }

 private:
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
  std::atomic<long> tally_[4] = {};
};

ChildOptions long_run() {
  ChildOptions options;
  options.timeout_seconds = 240;
  return options;
}

NORVALE_SCENARIO(deliveries_across_program_ends) {
  SCENARIO_CHECK(kestrune_register_extension("race_counter", make_counter_module) == 0);
  SCENARIO_CHECK(Norvale_InitDartApiDL(standin_dart_vm_api_dl_data()) == 0);
  int64_t out = Dart_NewNativePort("out", nullptr, false);
  std::string out_text = std::to_string(out);
  const char* names[] = {"OUT_PORT", nullptr};
  const char* values[] = {out_text.c_str(), nullptr};
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = kHandlerProgram;
  config.env_names = names;
  config.env_values = values;
  config.synchronous = 1;
  Deliverers deliverers(2);
  for (int session = 0; session < 200; ++session) {
    SCENARIO_CHECK(kestrune_run(&config) == 0);
    for (const char* end : {"start", "end"}) {
      for (int i = 0; i < 5; ++i) {
        standin_dart_message message{};
        SCENARIO_CHECK(standin_dart_vm_wait_message(out, 0, &message));
        std::string text(reinterpret_cast<char*>(message.bytes), static_cast<size_t>(message.length));
        SCENARIO_CHECK(text == std::string(end) + " " + std::to_string(i));
        standin_dart_message_clear(&message);
      }
    }
  }
  SCENARIO_CHECK(standin_dart_vm_pending(out) == 0);
  SCENARIO_CHECK(deliverers.finish());
  SCENARIO_CHECK(deliverers.handled() > 0);
  SCENARIO_CHECK(deliverers.handled() == g_handler_calls.load());
  return 0;
}

TEST(SessionEndRace, DeliveriesAcrossHundredsOfProgramEndsAreDefinedAndCounted) {
  auto result = run_scenario("deliveries_across_program_ends", long_run());
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

NORVALE_SCENARIO(deliveries_across_finalize_calls) {
  Deliverers deliverers(2);
  for (int cycle = 0; cycle < 200; ++cycle) {
    SCENARIO_CHECK(PyImport_AppendInittab("norvale", PyInit_norvale) == 0);
    SCENARIO_CHECK(PyImport_AppendInittab("race_counter", make_counter_module) == 0);
    Py_Initialize();
    python_gate_open();  // as a fresh start through kestrune_run does
    PyObject* main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* code = Py_CompileString(
        "import norvale, race_counter\n"
        "norvale.set_enqueue_handler_func(31, race_counter.hit)\n",
        "<race>", Py_file_input);
    SCENARIO_CHECK(code != nullptr);
    PyObject* result = PyEval_EvalCode(code, main_dict, main_dict);
    SCENARIO_CHECK(result != nullptr);
    Py_DECREF(result);
    Py_DECREF(code);
    // Hand the lock to the deliverers for a moment; they may also still be
    // waiting for it when finalisation begins.
    PyThreadState* self = PyEval_SaveThread();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    PyEval_RestoreThread(self);
    kestrune_finalize();
    SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  }
  SCENARIO_CHECK(deliverers.finish());
  SCENARIO_CHECK(deliverers.handled() > 0);
  SCENARIO_CHECK(deliverers.handled() == g_handler_calls.load());
  return 0;
}

TEST(SessionEndRace, DeliveriesAcrossHundredsOfFinalizeCallsAreDefinedAndCounted) {
  auto result = run_scenario("deliveries_across_finalize_calls", long_run());
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

NORVALE_SCENARIO(stop_requests_across_program_ends) {
  std::atomic<bool> stop{false};
  std::atomic<long> undefined{0};
  std::thread stopper([&] {
    while (!stop.load()) {
      int r = kestrune_request_stop();
      if (r != 0 && r != -1 && r != -2) undefined.fetch_add(1);
      std::this_thread::yield();
    }
  });
  std::thread signaller([&] {
    const char* labels[] = {"protocol"};
    const int64_t ports[] = {5};
    while (!stop.load()) norvale_signal_dart_session(1, labels, ports);
  });
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = "import norvale\nnorvale.add_session_restart_handler(lambda ports: None)\n";
  config.synchronous = 1;
  for (int session = 0; session < 200; ++session) {
    int32_t r = kestrune_run(&config);
    SCENARIO_CHECK(r == 0 || r == 1);  // an interrupt may end the program first
  }
  stop.store(true);
  stopper.join();
  signaller.join();
  SCENARIO_CHECK(undefined.load() == 0);
  return 0;
}

TEST(SessionEndRace, StopRequestsAndRestartSignalsAcrossProgramEnds) {
  auto result = run_scenario("stop_requests_across_program_ends", long_run());
  EXPECT_EQ(result.exit_code(), 0) << result.err.substr(0, 2000);
}

}  // namespace
