#ifndef STANDINS_FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_PRIVATE_H_
#define STANDINS_FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_PRIVATE_H_

#include "flutter_linux/fl_plugin_registrar.h"

G_BEGIN_DECLS

// Returns a new registrar for the plugin `name` (a full reference). It holds
// the messenger and the texture registrar, and `view` only weakly, as the
// view owns the engine that the registrar serves.
G_GNUC_INTERNAL FlPluginRegistrar* fl_plugin_registrar_new(const gchar* name, FlView* view,
                                                           FlBinaryMessenger* messenger,
                                                           FlTextureRegistrar* texture_registrar);

G_END_DECLS

#endif  // STANDINS_FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_PRIVATE_H_
