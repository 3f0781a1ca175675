#ifndef STANDINS_FLUTTER_LINUX_FL_ENGINE_PARTS_PRIVATE_H_
#define STANDINS_FLUTTER_LINUX_FL_ENGINE_PARTS_PRIVATE_H_

#include "flutter_linux/fl_binary_messenger.h"
#include "flutter_linux/fl_texture_registrar.h"

G_BEGIN_DECLS

// Each returns a new object (a full reference) for one view's engine.
G_GNUC_INTERNAL FlBinaryMessenger* fl_binary_messenger_new();
G_GNUC_INTERNAL FlTextureRegistrar* fl_texture_registrar_new();

G_END_DECLS

#endif  // STANDINS_FLUTTER_LINUX_FL_ENGINE_PARTS_PRIVATE_H_
