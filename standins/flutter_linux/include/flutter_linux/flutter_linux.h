#ifndef FLUTTER_LINUX_FLUTTER_LINUX_H_
#define FLUTTER_LINUX_FLUTTER_LINUX_H_

// The public interface of the Flutter Linux embedding, as far as this
// application uses it. Include only this header; it pulls in the others.

#define __FLUTTER_LINUX_INSIDE__

#include <flutter_linux/fl_binary_messenger.h>
#include <flutter_linux/fl_dart_project.h>
#include <flutter_linux/fl_plugin_registrar.h>
#include <flutter_linux/fl_plugin_registry.h>
#include <flutter_linux/fl_texture_registrar.h>
#include <flutter_linux/fl_view.h>

#undef __FLUTTER_LINUX_INSIDE__

#endif  // FLUTTER_LINUX_FLUTTER_LINUX_H_
