#ifndef FLUTTER_LINUX_FL_DART_PROJECT_H_
#define FLUTTER_LINUX_FL_DART_PROJECT_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>
#include <stdbool.h>

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

// FlDartProject: the Dart application that an engine runs, and how it runs it.

// Returns a new project (a full reference, owned by the caller).
FlDartProject* fl_dart_project_new();

// Sets the arguments that the Dart entry point receives. `argv` is a
// NULL-terminated vector; the project keeps its own copy.
void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project, char** argv);

// Returns the entry-point arguments (owned by the project), or NULL if none
// were set.
gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

// Switches the Impeller renderer on or off; without a call the engine's
// default applies.
void fl_dart_project_set_enable_impeller(FlDartProject* project, bool enable_impeller);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_DART_PROJECT_H_
