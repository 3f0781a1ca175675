// The engine's messenger and texture registrar: the interfaces, and the one
// implementation of each that every registrar of a view hands out.

#include "fl_engine_parts_private.h"

struct _FlBinaryMessengerInterface {
  GTypeInterface parent_iface;
};

G_DEFINE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, G_TYPE_OBJECT)

static void fl_binary_messenger_default_init(FlBinaryMessengerInterface*) {}

struct _FlTextureRegistrarInterface {
  GTypeInterface parent_iface;
};

G_DEFINE_INTERFACE(FlTextureRegistrar, fl_texture_registrar, G_TYPE_OBJECT)

static void fl_texture_registrar_default_init(FlTextureRegistrarInterface*) {}

G_DECLARE_FINAL_TYPE(FlBinaryMessengerImpl, fl_binary_messenger_impl, FL, BINARY_MESSENGER_IMPL,
                     GObject)

struct _FlBinaryMessengerImpl {
  GObject parent_instance;
};

static void fl_binary_messenger_impl_iface_init(FlBinaryMessengerInterface*) {}

G_DEFINE_TYPE_WITH_CODE(FlBinaryMessengerImpl, fl_binary_messenger_impl, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              fl_binary_messenger_impl_iface_init))

static void fl_binary_messenger_impl_class_init(FlBinaryMessengerImplClass*) {}

static void fl_binary_messenger_impl_init(FlBinaryMessengerImpl*) {}

G_DECLARE_FINAL_TYPE(FlTextureRegistrarImpl, fl_texture_registrar_impl, FL,
                     TEXTURE_REGISTRAR_IMPL, GObject)

struct _FlTextureRegistrarImpl {
  GObject parent_instance;
};

static void fl_texture_registrar_impl_iface_init(FlTextureRegistrarInterface*) {}

G_DEFINE_TYPE_WITH_CODE(FlTextureRegistrarImpl, fl_texture_registrar_impl, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_texture_registrar_get_type(),
                                              fl_texture_registrar_impl_iface_init))

static void fl_texture_registrar_impl_class_init(FlTextureRegistrarImplClass*) {}

static void fl_texture_registrar_impl_init(FlTextureRegistrarImpl*) {}

FlBinaryMessenger* fl_binary_messenger_new() {
  return FL_BINARY_MESSENGER(g_object_new(fl_binary_messenger_impl_get_type(), nullptr));
}

FlTextureRegistrar* fl_texture_registrar_new() {
  return FL_TEXTURE_REGISTRAR(g_object_new(fl_texture_registrar_impl_get_type(), nullptr));
}
