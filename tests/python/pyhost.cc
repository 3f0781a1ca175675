// Runs a Python script as the application's program: the stand-in Dart VM
// is bound, the test module is registered, and the script runs through
// kestrune_run on this thread. The exit status is the session's result.

#include <cstdio>
#include <vector>

#include "dart_vm_standin.h"
#include "norvale.h"
#include "testkit_module.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SCRIPT [MODULE_PATH...]\n", argv[0]);
    return 2;
  }
  if (Norvale_InitDartApiDL(standin_dart_vm_api_dl_data()) != 0) return 3;
  if (kestrune_register_extension("_norvale_testkit", norvale_testkit_init) != 0) return 4;
  std::vector<const char*> module_paths(argv + 2, argv + argc);
  module_paths.push_back(nullptr);
  kestrune_run_config config{};
  config.mode = 0;
  config.script_path = argv[1];
  config.program_name = argv[1];
  config.module_paths = module_paths.data();
  config.synchronous = 1;
  return kestrune_run(&config);
}
