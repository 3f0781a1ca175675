#include "flutter_linux/fl_plugin_registrar.h"

#include "fl_plugin_registrar_private.h"
#include "standin_trace.h"

struct _FlPluginRegistrar {
  GObject parent_instance;

  // The plugin name it was requested for.
  gchar* name;
};

G_DEFINE_TYPE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

// The release of the last reference is what the trace reports: a plugin
// that keeps its registrar delays it.
static void fl_plugin_registrar_finalize(GObject* object) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(object);
  g_autofree gchar* quoted = standin_trace_quote(self->name);
  standin_trace("registrar-released", "%s %p", quoted, static_cast<void*>(self));
  g_clear_pointer(&self->name, g_free);
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->finalize(object);
}

static void fl_plugin_registrar_class_init(FlPluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fl_plugin_registrar_finalize;
}

static void fl_plugin_registrar_init(FlPluginRegistrar*) {}

FlPluginRegistrar* fl_plugin_registrar_new(const gchar* name) {
  FlPluginRegistrar* self =
      FL_PLUGIN_REGISTRAR(g_object_new(fl_plugin_registrar_get_type(), nullptr));
  self->name = g_strdup(name);
  return self;
}
