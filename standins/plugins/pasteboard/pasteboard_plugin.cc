#include "pasteboard/pasteboard_plugin.h"

#include "plugin_registration.h"

void pasteboard_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  record_plugin_registration(__func__, registrar);
}
