// run_in_bundle BUNDLE SCRIPT: runs SCRIPT on the Python of an installed
// bundle the way the application starts its program: libnorvale.so opened
// from BUNDLE/lib, kestrune_run on this thread, PYTHONHOME at BUNDLE. The
// exit status is the session's result (0 ran to its end, 1 failed), 2 when
// the bundle's library cannot be used. For the tests and the benchmark of an
// installed bundle; not part of it.

#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "norvale.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: run_in_bundle BUNDLE SCRIPT\n", stderr);
    return 2;
  }
  const std::string library = std::string(argv[1]) + "/lib/libnorvale.so";
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "run_in_bundle: %s\n", dlerror());
    return 2;
  }
  auto* run = reinterpret_cast<decltype(&kestrune_run)>(dlsym(handle, "kestrune_run"));
  if (run == nullptr) {
    std::fprintf(stderr, "run_in_bundle: %s has no kestrune_run\n", library.c_str());
    return 2;
  }
  const char* names[] = {"PYTHONHOME", nullptr};
  const char* values[] = {argv[1], nullptr};
  kestrune_run_config config{};
  config.mode = 0;
  config.script_path = argv[2];
  config.program_name = argv[2];
  config.env_names = names;
  config.env_values = values;
  config.synchronous = 1;
  return run(&config);
}
