// Process entry: either a Python interpreter (a multiprocessing child, or a
// command line of the application's own Python program), or the
// application.

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include "my_application.h"

namespace {

using MpCheck = int32_t (*)(int32_t argc, char** argv);
using MpMain = int32_t (*)(int32_t argc, char** argv);

// The executable that `link` (a /proc/.../exe) names; empty when unreadable.
std::string executable_of(const char* link) {
  char path[PATH_MAX];
  const ssize_t length = readlink(link, path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return {};
  return std::string(path, static_cast<size_t>(length));
}

// Whether this process was started by a process of this very executable: by
// the application's Python program (or one of its interpreter children),
// where sys.executable is this executable. Such a command line is the
// program's, as python3 would take it (subprocess.run([sys.executable,
// "script.py"])), not a request for another window. A user or a desktop
// never starts the application from inside itself.
bool started_by_this_executable() {
  const std::string own = executable_of("/proc/self/exe");
  const std::string parent_link = "/proc/" + std::to_string(getppid()) + "/exe";
  return !own.empty() && executable_of(parent_link.c_str()) == own;
}

// When the command line is a multiprocessing child's, or the process was
// started by the application's own Python program, runs the process as a
// Python interpreter and returns TRUE with its exit status. libnorvale is
// already loaded (runner is linked against it), so dlopen finds that copy;
// the handle stays open for the life of the process. A library without the
// two entries leaves every start an ordinary one.
bool run_as_interpreter_child(int argc, char** argv, int* status) {
  void* bridge = dlopen("libnorvale.so", RTLD_NOW);
  if (bridge == nullptr) return false;
  auto is_mp_invocation = reinterpret_cast<MpCheck>(dlsym(bridge, "kestrune_is_mp_invocation"));
  auto interpreter_main = reinterpret_cast<MpMain>(dlsym(bridge, "kestrune_main"));
  if (is_mp_invocation == nullptr || interpreter_main == nullptr) return false;
  if (is_mp_invocation(argc, argv) == 0 && !started_by_this_executable()) return false;
  *status = interpreter_main(argc, argv);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  if (run_as_interpreter_child(argc, argv, &status)) return status;

  MyApplication* application = my_application_new();
  status = g_application_run(G_APPLICATION(application), argc, argv);
  // No exit handlers, static destructors or interpreter finalisation after
  // the run; but what the program printed last must not be lost with the
  // stream buffers.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}
