#ifndef FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_
#define FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlPluginRegistrar, fl_plugin_registrar, FL, PLUGIN_REGISTRAR, GObject)

// FlPluginRegistrar: what one plugin is given to connect itself to the
// engine. Obtained from an FlPluginRegistry.

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_
