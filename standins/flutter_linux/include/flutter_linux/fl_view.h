#ifndef FLUTTER_LINUX_FL_VIEW_H_
#define FLUTTER_LINUX_FL_VIEW_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gmodule.h>
#include <gtk/gtk.h>

#include "fl_dart_project.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlView, fl_view, FL, VIEW, GtkBox)

// FlView: the widget that runs a Flutter engine for a project and shows its
// content. It implements FlPluginRegistry.

// Returns a new view for `project` (a floating reference, as widgets have).
FlView* fl_view_new(FlDartProject* project);

// Sets the colour drawn behind the Flutter content.
void fl_view_set_background_color(FlView* view, const GdkRGBA* color);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VIEW_H_
