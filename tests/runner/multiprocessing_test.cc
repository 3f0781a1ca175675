// A Python program run through kestrune_run uses process-based
// multiprocessing with runner as its executable: every child, the
// resource tracker and the fork server run through runner's entry as plain
// interpreters, without a window and without a display.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "child_process.h"
#include "dart_side.h"
#include "runner_fixture.h"
#include "scenario.h"

namespace {

using namespace norvale_test;

// The work, in a module of its own, so that spawned children can import it.
constexpr char kWorkModule[] = R"(import os, sys

def square(n):
    return n * n

def describe(_):
    import norvale
    try:
        norvale.send_bytes(1, b"x")
        send = "sent"
    except RuntimeError as e:
        send = "RuntimeError"
    return {
        "exe": os.readlink("/proc/self/exe"),
        "norvale built in": "norvale" in sys.builtin_module_names,
        "send_bytes": send,
        "PYTHONINSPECT": os.environ.get("PYTHONINSPECT"),
        "DISPLAY": os.environ.get("DISPLAY"),
        "WAYLAND_DISPLAY": os.environ.get("WAYLAND_DISPLAY"),
    }

def exit_with(status):
    sys.exit(status)
)";

constexpr char kProgram[] = R"(import concurrent.futures, multiprocessing, os, sys
from multiprocessing import resource_tracker
import mp_work

runner = os.environ["MP_RUNNER"]
multiprocessing.set_executable(runner)
# A child that took this from the environment would start an interactive
# interpreter after its work.
os.environ["PYTHONINSPECT"] = "1"

def same_file(pid):
    return os.path.samefile(f"/proc/{pid}/exe", runner)

for method in ("spawn", "forkserver"):
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        squares = list(pool.map(mp_work.square, range(8)))
        children = list(pool.map(mp_work.describe, range(2)))
    print(method, squares)
    for child in children:
        exe = child.pop("exe")
        print(" ", os.path.samefile(exe, runner), sorted(child.items()))
    process = context.Process(target=mp_work.exit_with, args=(3,))
    process.start()
    process.join()
    print("  process exit code", process.exitcode)
    lock = context.Lock()
    with lock:
        pass
    tracker_pid = resource_tracker._resource_tracker._pid
    print("  resource tracker runs runner:", tracker_pid is not None and same_file(tracker_pid))
    if method == "forkserver":
        from multiprocessing import forkserver
        server_pid = forkserver._forkserver._forkserver_pid
        print("  fork server runs runner:", same_file(server_pid))
)";

NORVALE_SCENARIO(multiprocessing_through_runner) {
  const char* dir = std::getenv("MP_WORK_DIR");
  SCENARIO_CHECK(dir != nullptr);
  std::ofstream(std::string(dir) + "/mp_work.py") << kWorkModule;
  bind_vm();
  return RunRequest().source(kProgram).module_paths({dir}).run_sync();
}

TEST(Multiprocessing, SpawnAndForkserverChildrenRunThroughRunnerAsInterpreters) {
  XdgTree tree;
  ChildOptions options;
  options.env = runner_env(tree);
  options.env["MP_RUNNER"] = NORVALE_RUNNER;
  options.env["MP_WORK_DIR"] = tree.root();
  auto result = run_scenario("multiprocessing_through_runner", options);
  EXPECT_EQ(result.exit_code(), 0) << result.err;
  const std::string child =
      "  True [('DISPLAY', None), ('PYTHONINSPECT', None), ('WAYLAND_DISPLAY', None), "
      "('norvale built in', True), ('send_bytes', 'RuntimeError')]\n";
  const std::string squares = " [0, 1, 4, 9, 16, 25, 36, 49]\n";
  EXPECT_EQ(result.out, "spawn" + squares + child + child +
                            "  process exit code 3\n"
                            "  resource tracker runs runner: True\n"
                            "forkserver" +
                            squares + child + child +
                            "  process exit code 3\n"
                            "  resource tracker runs runner: True\n"
                            "  fork server runs runner: True\n");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(Trace::read(tree.path("trace")).lines().empty()) << "a child used the embedding";
}

}  // namespace
