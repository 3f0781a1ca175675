#include "plugin_registration.h"
#include "url_launcher_linux/url_launcher_plugin.h"

void url_launcher_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  record_plugin_registration(__func__, registrar);
}
