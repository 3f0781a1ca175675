#ifndef FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
#define FLUTTER_LINUX_FL_BINARY_MESSENGER_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, FL, BINARY_MESSENGER, GObject)

// FlBinaryMessenger: carries platform-channel messages between the engine and
// native code. Plugins get the engine's messenger from their registrar. The
// stand-in plugins open no channels, so the messenger's operations are not
// part of the stand-in.

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
