#include "plugin_registration.h"

#include "standin_trace.h"

void record_plugin_registration(const char* function, FlPluginRegistrar* registrar) {
  g_autofree gchar* quoted = standin_trace_quote(function);
  standin_trace("plugin-registered", "%s %p", quoted, static_cast<void*>(registrar));
}
