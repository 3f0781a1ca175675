#include "flutter_linux/fl_dart_project.h"

#include "standin_trace.h"

struct _FlDartProject {
  GObject parent_instance;

  // Arguments for the Dart entry point (owned), or NULL if none were set.
  gchar** dart_entrypoint_arguments;

  // Whether the application chose the renderer, and its choice; the
  // engine's default applies otherwise.
  bool impeller_chosen;
  bool enable_impeller;
};

G_DEFINE_TYPE(FlDartProject, fl_dart_project, G_TYPE_OBJECT)

namespace {

// "ARG..." with each argument quoted, or "NULL" for no vector.
gchar* quote_arguments(char** argv) {
  if (argv == nullptr) return g_strdup("NULL");
  g_autoptr(GPtrArray) quoted = g_ptr_array_new_with_free_func(g_free);
  for (char** arg = argv; *arg != nullptr; ++arg) {
    g_ptr_array_add(quoted, standin_trace_quote(*arg));
  }
  g_ptr_array_add(quoted, nullptr);
  return g_strjoinv(" ", reinterpret_cast<gchar**>(quoted->pdata));
}

}  // namespace

static void fl_dart_project_dispose(GObject* object) {
  FlDartProject* self = FL_DART_PROJECT(object);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(fl_dart_project_parent_class)->dispose(object);
}

static void fl_dart_project_class_init(FlDartProjectClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_dart_project_dispose;
}

static void fl_dart_project_init(FlDartProject*) {}

FlDartProject* fl_dart_project_new() {
  standin_trace_event("project-new");
  return FL_DART_PROJECT(g_object_new(fl_dart_project_get_type(), nullptr));
}

void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* self, char** argv) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  g_autofree gchar* quoted = quote_arguments(argv);
  standin_trace("dart-entrypoint-arguments", "%s", quoted);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  self->dart_entrypoint_arguments = g_strdupv(argv);
}

gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->dart_entrypoint_arguments;
}

void fl_dart_project_set_enable_impeller(FlDartProject* self, bool enable_impeller) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  standin_trace("enable-impeller", "%s", standin_trace_bool(enable_impeller));
  self->impeller_chosen = true;
  self->enable_impeller = enable_impeller;
}
