// Loaded into a real runner with LD_PRELOAD: once the main loop runs (after
// activation, where the application's Dart code would start it), starts the
// Python program in DESKTOP_TEST_PYTHON on a worker thread through
// kestrune_run, as the application does.

#include <glib.h>

#include <cstdlib>

#include "norvale.h"

namespace {

gboolean start_program(gpointer) {
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = std::getenv("DESKTOP_TEST_PYTHON");
  config.program_name = "desktop-test";
  config.synchronous = 0;
  if (config.script_source != nullptr) kestrune_run(&config);
  return G_SOURCE_REMOVE;
}

__attribute__((constructor)) void start_when_the_main_loop_runs() {
  g_idle_add(start_program, nullptr);
}

}  // namespace
