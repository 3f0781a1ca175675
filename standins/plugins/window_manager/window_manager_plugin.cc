#include "window_manager/window_manager_plugin.h"

#include "plugin_registration.h"

void window_manager_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  record_plugin_registration(__func__, registrar);
}
