#ifndef FLUTTER_PLUGIN_WINDOW_MANAGER_WINDOW_MANAGER_PLUGIN_H_
#define FLUTTER_PLUGIN_WINDOW_MANAGER_WINDOW_MANAGER_PLUGIN_H_

// Shows, sizes and closes the application's window: the stand-in, which only records its
// registration.

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_PLUGIN_EXPORT
#endif

// Sets the plugin up with the engine through `registrar` (borrowed).
FLUTTER_PLUGIN_EXPORT void window_manager_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // FLUTTER_PLUGIN_WINDOW_MANAGER_WINDOW_MANAGER_PLUGIN_H_
