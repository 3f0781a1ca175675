// kestrune_run: the copy of the request, synchronous and asynchronous runs,
// the exit port, and a second request while the program runs.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "child_process.h"
#include "dart_side.h"
#include "scenario.h"

namespace {

using namespace norvale_test;

TEST(RunEntry, NullConfigurationIsRefused) { EXPECT_EQ(kestrune_run(nullptr), -1); }

// Prints which of the variables A, B and C the program sees.
constexpr const char kShowEnv[] =
    "import os\nprint([os.environ.get(n) for n in ('NV_A', 'NV_B', 'NV_C')])\n";

NORVALE_SCENARIO(env_names_without_values) {
  const char* names[] = {"NV_A", nullptr};
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = kShowEnv;
  config.env_names = names;
  config.synchronous = 1;
  SCENARIO_CHECK(kestrune_run(&config) == 0);
  config.env_names = nullptr;
  config.env_values = names;
  return kestrune_run(&config);
}

NORVALE_SCENARIO(three_names_two_values) {
  const char* names[] = {"NV_A", "NV_B", "NV_C", nullptr};
  const char* values[] = {"1", "2", nullptr};
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = kShowEnv;
  config.env_names = names;
  config.env_values = values;
  config.synchronous = 1;
  return kestrune_run(&config);
}

NORVALE_SCENARIO(empty_arrays) {
  const char* empty[] = {nullptr};
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = kShowEnv;
  config.module_paths = empty;
  config.env_names = empty;
  config.env_values = empty;
  config.synchronous = 1;
  return kestrune_run(&config);
}

TEST(RunEntry, EnvironmentPairsAreAppliedOnlyWhereBothArraysHaveAnEntry) {
  auto unpaired = run_scenario("env_names_without_values");
  EXPECT_EQ(unpaired.exit_code(), 0) << unpaired.err;
  EXPECT_EQ(unpaired.out, "[None, None, None]\n[None, None, None]\n");
  auto shorter = run_scenario("three_names_two_values");
  EXPECT_EQ(shorter.exit_code(), 0) << shorter.err;
  EXPECT_EQ(shorter.out, "['1', '2', None]\n");
  auto empty = run_scenario("empty_arrays");
  EXPECT_EQ(empty.exit_code(), 0) << empty.err;
  EXPECT_EQ(empty.out, "[None, None, None]\n");
}

// The C library's environment setters, counted while `g_counting` is set
// and they change the environment.
std::atomic<bool> g_counting{false};
std::atomic<int> g_setter_calls{0};

template <typename Function>
Function next_definition(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int setenv(const char* name, const char* value, int overwrite) noexcept {
  if (g_counting) ++g_setter_calls;
  static auto next = next_definition<int (*)(const char*, const char*, int)>("setenv");
  return next(name, value, overwrite);
}

// Only where it changes something: CPython's start unsets a variable that
// is not there.
extern "C" int unsetenv(const char* name) noexcept {
  if (g_counting && getenv(name) != nullptr) ++g_setter_calls;
  static auto next = next_definition<int (*)(const char*)>("unsetenv");
  return next(name);
}

extern "C" int putenv(char* entry) noexcept {
  if (g_counting) ++g_setter_calls;
  static auto next = next_definition<int (*)(char*)>("putenv");
  return next(entry);
}

namespace {

// What the program, a process it starts, and its sys.path see of the pair,
// of a PYTHONPATH from outside and of a user site-packages.
constexpr const char kShowOutsideEnvironment[] =
    "import os, subprocess, sys\n"
    "print(os.environ.get('NV_A'), os.environ.get('PYTHONPATH'), os.environ.get('PYTHONNOUSERSITE'))\n"
    "print(subprocess.run(['/bin/sh', '-c', 'echo $NV_A $PYTHONPATH ${PYTHONNOUSERSITE-unset}'],\n"
    "                     capture_output=True, text=True).stdout, end='')\n"
    "user_base = os.environ['PYTHONUSERBASE']\n"
    "print('/outside/path' in sys.path, any(p.startswith(user_base) for p in sys.path))\n";

NORVALE_SCENARIO(environment_changed_while_another_thread_reads_it) {
  const std::string user_base = std::filesystem::temp_directory_path() /
                                ("nv-user-base-" + std::to_string(getpid()));
  for (int minor = 12; minor <= 16; ++minor) {
    std::filesystem::create_directories(user_base + "/lib/python3." + std::to_string(minor) +
                                        "/site-packages");
  }
  setenv("PYTHONUSERBASE", user_base.c_str(), 1);
  setenv("PYTHONPATH", "/outside/path", 1);
  unsetenv("PYTHONNOUSERSITE");

  // As the host's threads do at any time.
  std::atomic<bool> stop{false};
  std::thread reader([&stop] {
    while (!stop) SCENARIO_CHECK(getenv("PATH") != nullptr);
  });
  g_counting = true;
  const int result = RunRequest().source(kShowOutsideEnvironment).env("NV_A", "1").run_sync();
  g_counting = false;
  stop = true;
  reader.join();
  std::filesystem::remove_all(user_base);
  std::printf("setter calls: %d\n", g_setter_calls.load());
  return result;
}

// The C library's setters are not safe while other threads read the
// environment, and the host has threads before any session starts.
TEST(RunEntry, EnvironmentChangesReachProgramAndChildrenWithoutTheCLibrarysSetters) {
  auto run = run_scenario("environment_changed_while_another_thread_reads_it");
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(run.out,
            "1 /outside/path None\n"
            "1 /outside/path unset\n"
            "False False\n"
            "setter calls: 0\n");
}

NORVALE_SCENARIO(sync_ignores_exit_port) {
  bind_vm();
  int64_t exit = new_port();
  SCENARIO_CHECK(RunRequest().source("pass").exit_port(exit).run_sync() == 0);
  SCENARIO_CHECK(RunRequest().source("raise SystemError").exit_port(exit).run_sync() == 1);
  SCENARIO_CHECK(!wait_int(exit, 0.3).has_value());
  return 0;
}

TEST(RunEntry, SynchronousRunReturnsItsResultAndPostsNothing) {
  auto result = run_scenario("sync_ignores_exit_port");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

NORVALE_SCENARIO(async_posts_result_after_finalisation) {
  bind_vm();
  int64_t exit = new_port();
  SCENARIO_CHECK(RunRequest().source("import time; time.sleep(0.2)").exit_port(exit).run_async() == 0);
  auto ok = wait_int(exit);
  SCENARIO_CHECK(ok == 0);
  // Posted only once the interpreter is gone.
  SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  SCENARIO_CHECK(RunRequest().source("raise ValueError").exit_port(exit).run_async() == 0);
  SCENARIO_CHECK(wait_int(exit) == 1);
  SCENARIO_CHECK(norvale_is_python_initialized() == 0);
  return 0;
}

TEST(RunEntry, AsynchronousRunPostsZeroOrOneToTheExitPort) {
  auto result = run_scenario("async_posts_result_after_finalisation");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
}

// Without an exit port only the program itself can tell that it ran; the
// process then ends at once, whatever the session thread is doing.
NORVALE_SCENARIO(async_without_exit_port) {
  bind_vm();
  int64_t witness = new_port();
  std::string program = "import norvale\nnorvale.send_bytes(" + std::to_string(witness) +
                        ", b'done')\n";
  SCENARIO_CHECK(RunRequest().source(program).run_async() == 0);
  SCENARIO_CHECK(wait_bytes(witness) == "done");
  kestrune_hard_exit(0);
}

NORVALE_SCENARIO(async_with_unbound_api) {
  static const standin_dart_api_entry nothing[] = {{nullptr, nullptr}};
  standin_dart_api_data empty = {2, 0, nothing};
  SCENARIO_CHECK(Norvale_InitDartApiDL(&empty) == 0);
  int64_t exit = new_port();
  SCENARIO_CHECK(RunRequest().source("import sys; sys.stderr.write('ran unbound')")
                     .exit_port(exit).run_async() == 0);
  SCENARIO_CHECK(!wait_int(exit, 1.0).has_value());
  kestrune_hard_exit(0);
}

TEST(RunEntry, NothingIsPostedWithoutExitPortOrBoundApi) {
  auto no_port = run_scenario("async_without_exit_port");
  EXPECT_EQ(no_port.exit_code(), 0) << no_port.err;
  auto unbound = run_scenario("async_with_unbound_api");
  EXPECT_EQ(unbound.exit_code(), 0) << unbound.err;
  EXPECT_EQ(unbound.err, "ran unbound");
}

// Every string of the request lives on the heap and is scribbled over and
// freed as soon as kestrune_run returns.
NORVALE_SCENARIO(caller_frees_config_at_once) {
  bind_vm();
  int64_t exit = new_port();
  auto heap = [](const char* s) { return strdup(s); };
  char* source = heap("import os, sys\nprint(sys.argv, os.environ['NV_A'], sys.path[0])\n");
  char* name = heap("prog");
  char* path = heap("/opt/norvale-test-path");
  char* env_name = heap("NV_A");
  char* env_value = heap("value");
  const char** paths = static_cast<const char**>(calloc(2, sizeof(char*)));
  const char** names = static_cast<const char**>(calloc(2, sizeof(char*)));
  const char** values = static_cast<const char**>(calloc(2, sizeof(char*)));
  paths[0] = path;
  names[0] = env_name;
  values[0] = env_value;
  auto* config = static_cast<kestrune_run_config*>(calloc(1, sizeof(kestrune_run_config)));
  *config = {1, nullptr, source, name, paths, names, values, 0, exit};
  SCENARIO_CHECK(kestrune_run(config) == 0);
  for (char* s : {source, name, path, env_name, env_value}) {
    memset(s, 'X', strlen(s));
    free(s);
  }
  free(paths);
  free(names);
  free(values);
  memset(config, 0xAB, sizeof *config);
  free(config);
  SCENARIO_CHECK(wait_int(exit) == 0);
  return 0;
}

TEST(RunEntry, TheRunKeepsItsOwnCopyOfEverything) {
  auto result = run_scenario("caller_frees_config_at_once");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.out, "['prog'] value /opt/norvale-test-path\n");
}

// A program that reports every session-restart notification on REPORT as
// the repr of the dict it got, and ends on b"stop" at INBOX.
constexpr const char kRestartReporter[] = R"(
import os, threading, norvale
report = int(os.environ["REPORT"])
done = threading.Event()
norvale.add_session_restart_handler(
    lambda ports: norvale.send_bytes(report, repr(sorted(ports.items())).encode()))
norvale.set_enqueue_handler_func(int(os.environ["INBOX"]),
                                 lambda payload: done.set())
norvale.send_bytes(report, b"ready")
done.wait()
)";

struct ReuseCase {
  std::vector<std::pair<std::string, std::string>> pairs;
  const char* expected;  // nullptr: no notification
};

NORVALE_SCENARIO(reuse_hands_over_fresh_ports) {
  bind_vm();
  int64_t report = new_port(), first_exit = new_port();
  const int64_t inbox = 77;
  SCENARIO_CHECK(RunRequest()
                     .source(kRestartReporter)
                     .env("REPORT", std::to_string(report))
                     .env("INBOX", std::to_string(inbox))
                     .exit_port(first_exit)
                     .run_async() == 0);
  SCENARIO_CHECK(wait_bytes(report) == "ready");
  setenv("ZEMTRA_NORVALE_PORT", "999", 1);  // left from an earlier request
  const std::vector<ReuseCase> cases = {
      {{{"ZEMTRA_NORVALE_PORT", "11"}, {"ZEMTRA_NORVALE_EXIT_PORT", "12"}},
       "[('exit', 12), ('protocol', 11)]"},
      {{{"ZEMTRA_NORVALE_EXIT_PORT", "5"}}, "[('exit', 5)]"},
      {{{"ZEMTRA_NORVALE_PORT", "  +12abc"}}, "[('protocol', 12)]"},
      {{{"ZEMTRA_NORVALE_PORT", "0"}, {"ZEMTRA_NORVALE_EXIT_PORT", "-4"}}, nullptr},
      {{{"ZEMTRA_NORVALE_PORT", "abc"}}, nullptr},
      {{{"ZEMTRA_NORVALE_PORT", "-1"}, {"ZEMTRA_NORVALE_PORT", "8"}}, nullptr},
      {{{"ZEMTRA_NORVALE_PORT", "99999999999999999999"}},
       "[('protocol', 9223372036854775807)]"},
      {{{"zemtra_norvale_port", "3"}, {"OTHER", "4"}}, nullptr},
  };
  for (const ReuseCase& c : cases) {
    RunRequest again;
    again.source("raise SystemExit(9)").script("/nonexistent").module_paths({"\xff"});
    for (const auto& [name, value] : c.pairs) again.env(name, value);
    int64_t exit = new_port();
    again.exit_port(exit);
    SCENARIO_CHECK(again.run_async() == 0);
    SCENARIO_CHECK(wait_int(exit) == 0);
    auto got = wait_bytes(report, c.expected ? 10 : 0.3);
    if (c.expected) {
      if (got != c.expected) {
        std::fprintf(stderr, "got %s, expected %s\n", got ? got->c_str() : "nothing", c.expected);
        return 1;
      }
    } else {
      SCENARIO_CHECK(!got.has_value());
    }
  }
  // The process environment took the pairs of the last requests.
  SCENARIO_CHECK(std::string(getenv("OTHER")) == "4");
  SCENARIO_CHECK(std::string(getenv("ZEMTRA_NORVALE_EXIT_PORT")) == "-4");
  // A synchronous reuse request returns 0 on the caller's thread.
  SCENARIO_CHECK(RunRequest().source("x").env("ZEMTRA_NORVALE_PORT", "21").run_sync() == 0);
  SCENARIO_CHECK(wait_bytes(report) == "[('protocol', 21)]");
  // A failing environment pair notifies nobody and fails the request.
  int64_t failing_exit = new_port();
  SCENARIO_CHECK(RunRequest().env("ZEMTRA_NORVALE_PORT", "31").env("", "x")
                     .exit_port(failing_exit).run_async() == 0);
  SCENARIO_CHECK(wait_int(failing_exit) == 1);
  SCENARIO_CHECK(!wait_bytes(report, 0.3).has_value());
  // The first request's exit port hears only of the program's own end.
  SCENARIO_CHECK(!wait_int(first_exit, 0.1).has_value());
  SCENARIO_CHECK(deliver(inbox, "stop") == 0);
  SCENARIO_CHECK(wait_int(first_exit) == 0);
  return 0;
}

TEST(SessionReuse, ARequestWhileTheProgramRunsHandsOverItsPortsOnly) {
  auto result = run_scenario("reuse_hands_over_fresh_ports");
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  EXPECT_EQ(result.err, "[kestrune_run] failed to set env var \n");
  EXPECT_EQ(result.out, "");
}

}  // namespace
