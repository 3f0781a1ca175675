// Process entry: either the interpreter of a multiprocessing child, or the
// application.

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "my_application.h"

namespace {

using MpCheck = int32_t (*)(int32_t argc, char** argv);
using MpMain = int32_t (*)(int32_t argc, char** argv);

// When the command line is a multiprocessing child's, runs the process as a
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
  if (is_mp_invocation(argc, argv) == 0) return false;
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
