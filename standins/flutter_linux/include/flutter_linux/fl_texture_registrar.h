#ifndef FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_
#define FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlTextureRegistrar, fl_texture_registrar, FL, TEXTURE_REGISTRAR, GObject)

// FlTextureRegistrar: where plugins register the textures that the engine
// draws. The stand-in plugins register none, so its operations are not part
// of the stand-in.

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_
