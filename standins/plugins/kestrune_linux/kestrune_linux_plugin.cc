#include "kestrune_linux/kestrune_linux_plugin.h"

#include "plugin_registration.h"

void kestrune_linux_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  record_plugin_registration(__func__, registrar);
}
