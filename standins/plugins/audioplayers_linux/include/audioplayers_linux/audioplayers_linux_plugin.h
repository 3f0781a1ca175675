#ifndef FLUTTER_PLUGIN_AUDIOPLAYERS_LINUX_AUDIOPLAYERS_LINUX_PLUGIN_H_
#define FLUTTER_PLUGIN_AUDIOPLAYERS_LINUX_AUDIOPLAYERS_LINUX_PLUGIN_H_

// Plays audio for the Dart side: the stand-in, which only records its registration.

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_PLUGIN_EXPORT
#endif

// Sets the plugin up with the engine through `registrar` (borrowed).
FLUTTER_PLUGIN_EXPORT void audioplayers_linux_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // FLUTTER_PLUGIN_AUDIOPLAYERS_LINUX_AUDIOPLAYERS_LINUX_PLUGIN_H_
