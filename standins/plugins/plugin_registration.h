#ifndef STANDINS_PLUGINS_PLUGIN_REGISTRATION_H_
#define STANDINS_PLUGINS_PLUGIN_REGISTRATION_H_

#include <flutter_linux/flutter_linux.h>

// Appends "plugin-registered FUNCTION REGISTRAR" to the stand-in trace: which
// register function ran, and the address of the registrar it was given.
void record_plugin_registration(const char* function, FlPluginRegistrar* registrar);

#endif  // STANDINS_PLUGINS_PLUGIN_REGISTRATION_H_
