#ifndef RUNNER_GENERATED_PLUGIN_REGISTRANT_H_
#define RUNNER_GENERATED_PLUGIN_REGISTRANT_H_

#include <flutter_linux/flutter_linux.h>

// Registers the application's six platform plugins with `registry`.
void fl_register_plugins(FlPluginRegistry* registry);

#endif  // RUNNER_GENERATED_PLUGIN_REGISTRANT_H_
