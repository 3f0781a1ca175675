#include "flutter_linux/fl_plugin_registrar.h"

#include "fl_plugin_registrar_private.h"
#include "standin_trace.h"

G_DEFINE_INTERFACE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

static void fl_plugin_registrar_default_init(FlPluginRegistrarInterface*) {}

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_messenger(self);
}

FlTextureRegistrar* fl_plugin_registrar_get_texture_registrar(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_texture_registrar(self);
}

FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_view(self);
}

// The registrar that the view hands out.
G_DECLARE_FINAL_TYPE(FlPluginRegistrarImpl, fl_plugin_registrar_impl, FL, PLUGIN_REGISTRAR_IMPL,
                     GObject)

struct _FlPluginRegistrarImpl {
  GObject parent_instance;

  // The plugin name it was requested for.
  gchar* name;

  // A weak pointer: NULL once the view is gone.
  FlView* view;

  FlBinaryMessenger* messenger;
  FlTextureRegistrar* texture_registrar;
};

static void fl_plugin_registrar_impl_iface_init(FlPluginRegistrarInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlPluginRegistrarImpl, fl_plugin_registrar_impl, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registrar_get_type(),
                                              fl_plugin_registrar_impl_iface_init))

static FlBinaryMessenger* get_messenger(FlPluginRegistrar* registrar) {
  return FL_PLUGIN_REGISTRAR_IMPL(registrar)->messenger;
}

static FlTextureRegistrar* get_texture_registrar(FlPluginRegistrar* registrar) {
  return FL_PLUGIN_REGISTRAR_IMPL(registrar)->texture_registrar;
}

static FlView* get_view(FlPluginRegistrar* registrar) {
  return FL_PLUGIN_REGISTRAR_IMPL(registrar)->view;
}

static void fl_plugin_registrar_impl_iface_init(FlPluginRegistrarInterface* iface) {
  iface->get_messenger = get_messenger;
  iface->get_texture_registrar = get_texture_registrar;
  iface->get_view = get_view;
}

static void fl_plugin_registrar_impl_dispose(GObject* object) {
  FlPluginRegistrarImpl* self = FL_PLUGIN_REGISTRAR_IMPL(object);
  if (self->view != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(self->view), reinterpret_cast<gpointer*>(&self->view));
    self->view = nullptr;
  }
  g_clear_object(&self->messenger);
  g_clear_object(&self->texture_registrar);
  G_OBJECT_CLASS(fl_plugin_registrar_impl_parent_class)->dispose(object);
}

// The release of the last reference is what the trace reports: a plugin
// that keeps its registrar delays it.
static void fl_plugin_registrar_impl_finalize(GObject* object) {
  FlPluginRegistrarImpl* self = FL_PLUGIN_REGISTRAR_IMPL(object);
  g_autofree gchar* quoted = standin_trace_quote(self->name);
  standin_trace("registrar-released", "%s %p", quoted, static_cast<void*>(self));
  g_clear_pointer(&self->name, g_free);
  G_OBJECT_CLASS(fl_plugin_registrar_impl_parent_class)->finalize(object);
}

static void fl_plugin_registrar_impl_class_init(FlPluginRegistrarImplClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_plugin_registrar_impl_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_plugin_registrar_impl_finalize;
}

static void fl_plugin_registrar_impl_init(FlPluginRegistrarImpl*) {}

FlPluginRegistrar* fl_plugin_registrar_new(const gchar* name, FlView* view,
                                           FlBinaryMessenger* messenger,
                                           FlTextureRegistrar* texture_registrar) {
  FlPluginRegistrarImpl* self =
      FL_PLUGIN_REGISTRAR_IMPL(g_object_new(fl_plugin_registrar_impl_get_type(), nullptr));
  self->name = g_strdup(name);
  self->view = view;
  if (view != nullptr) {
    g_object_add_weak_pointer(G_OBJECT(view), reinterpret_cast<gpointer*>(&self->view));
  }
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->texture_registrar = FL_TEXTURE_REGISTRAR(g_object_ref(texture_registrar));
  return FL_PLUGIN_REGISTRAR(self);
}
