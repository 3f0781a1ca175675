#include "flutter_linux/fl_view.h"

#include <dlfcn.h>
#include <glib-unix.h>
#include <unistd.h>

#include "fl_engine_parts_private.h"
#include "fl_plugin_registrar_private.h"
#include "flutter_linux/fl_plugin_registry.h"
#include "standin_app.h"
#include "standin_trace.h"

struct _FlView {
  GtkBox parent_instance;

  // The project the engine runs (a reference).
  FlDartProject* project;

  // Drawn behind the Flutter content.
  GdkRGBA background_color;

  // Idle that reports the window once the main loop runs, or 0.
  guint window_report_source;

  // Watch on standard input while the window closes at its end, or 0.
  guint stdin_watch;

  // What every registrar of this view hands its plugin.
  FlBinaryMessenger* messenger;
  FlTextureRegistrar* texture_registrar;
};

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlView, fl_view, GTK_TYPE_BOX,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_view_plugin_registry_iface_init))

namespace {

// What NORVALE_FLUTTER_CLOSE_WINDOW may ask of the stand-in engine: close
// the window right after reporting it, or when standard input ends (so that
// a test decides when). Either way the engine plays the application itself
// and loads none. Unset, it runs the application library of the bundle
// (lib/libapp.so beside the engine), which shows and closes the window as
// the real application does through the window-manager plugin.
constexpr char kCloseAfterReport[] = "after-window-report";
constexpr char kCloseAtStdinEnd[] = "at-stdin-end";

gchar* describe_widget(GtkWidget* widget, GtkWidget* view) {
  if (widget == nullptr) return g_strdup("NULL");
  if (widget == view) return g_strdup("view");
  return g_strdup(G_OBJECT_TYPE_NAME(widget));
}

void trace_titlebar(GtkWindow* window) {
  GtkWidget* titlebar = gtk_window_get_titlebar(window);
  if (titlebar == nullptr) {
    standin_trace("window-titlebar", "NULL");
  } else if (GTK_IS_HEADER_BAR(titlebar)) {
    GtkHeaderBar* header_bar = GTK_HEADER_BAR(titlebar);
    g_autofree gchar* title = standin_trace_quote(gtk_header_bar_get_title(header_bar));
    standin_trace("window-titlebar", "header-bar %s close-button %s", title,
                  standin_trace_bool(gtk_header_bar_get_show_close_button(header_bar)));
  } else {
    standin_trace("window-titlebar", "%s", G_OBJECT_TYPE_NAME(titlebar));
  }
}

// Whether the window really got the screen's RGBA visual: its GdkWindow's
// visual once realized, which an RGBA visual set too late would not reach.
gboolean has_rgba_visual(GtkWidget* window) {
  GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(window));
  GdkWindow* gdk_window = gtk_widget_get_window(window);
  GdkVisual* visual =
      gdk_window != nullptr ? gdk_window_get_visual(gdk_window) : gtk_widget_get_visual(window);
  return rgba != nullptr && visual == rgba;
}

// The window's children apart from its title bar, which has a line of its
// own.
void trace_children(GtkWindow* window, GtkWidget* view) {
  g_autoptr(GList) children = gtk_container_get_children(GTK_CONTAINER(window));
  GtkWidget* titlebar = gtk_window_get_titlebar(window);
  g_autoptr(GPtrArray) names = g_ptr_array_new_with_free_func(g_free);
  for (GList* child = children; child != nullptr; child = child->next) {
    if (child->data != titlebar) {
      g_ptr_array_add(names, describe_widget(GTK_WIDGET(child->data), view));
    }
  }
  guint count = names->len;
  g_ptr_array_add(names, nullptr);
  g_autofree gchar* list = g_strjoinv(" ", reinterpret_cast<gchar**>(names->pdata));
  standin_trace("window-children", "%u %s", count, list);
}

void trace_window(GtkWindow* window, GtkWidget* view) {
  GtkWidget* widget = GTK_WIDGET(window);
  standin_trace("window-realized", "%s", standin_trace_bool(gtk_widget_get_realized(widget)));
  standin_trace("window-visible", "%s", standin_trace_bool(gtk_widget_get_visible(widget)));
  standin_trace("window-mapped", "%s", standin_trace_bool(gtk_widget_get_mapped(widget)));
  gint width = 0, height = 0;
  gtk_window_get_default_size(window, &width, &height);
  standin_trace("window-default-size", "%d %d", width, height);
  g_autofree gchar* title = standin_trace_quote(gtk_window_get_title(window));
  standin_trace("window-title", "%s", title);
  trace_titlebar(window);
  standin_trace("window-rgba-visual", "%s", standin_trace_bool(has_rgba_visual(widget)));
  trace_children(window, view);
  g_autofree gchar* focus = describe_widget(gtk_window_get_focus(window), view);
  standin_trace("window-focus", "%s", focus);
}

void close_window(FlView* self) {
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(self));
  if (!GTK_IS_WINDOW(toplevel)) return;
  standin_trace_event("window-close");
  gtk_widget_destroy(toplevel);
}

gboolean stdin_readable(gint fd, GIOCondition, gpointer user_data) {
  FlView* self = FL_VIEW(user_data);
  char buffer[256];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) return G_SOURCE_CONTINUE;
  self->stdin_watch = 0;
  close_window(self);
  return G_SOURCE_REMOVE;
}

// The application library's path: beside this library, as the real engine
// finds lib/libapp.so. NULL when this library cannot name itself.
gchar* application_library_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&fl_view_new), &info) == 0 || info.dli_fname == nullptr) {
    return nullptr;
  }
  g_autofree gchar* directory = g_path_get_dirname(info.dli_fname);
  return g_build_filename(directory, STANDIN_APP_LIBRARY, nullptr);
}

// Loads the application and calls its entry; without one the view stays
// empty. The library stays loaded for the life of the process.
void run_application(FlView* self) {
  g_autofree gchar* path = application_library_path();
  void* library = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
  auto entry = library != nullptr
                   ? reinterpret_cast<StandinAppMain>(dlsym(library, STANDIN_APP_ENTRY))
                   : nullptr;
  g_autofree gchar* quoted = standin_trace_quote(path);
  if (entry == nullptr) {
    standin_trace("app-missing", "%s", quoted);
    return;
  }
  standin_trace("app-loaded", "%s", quoted);
  entry(GTK_WIDGET(self), fl_dart_project_get_dart_entrypoint_arguments(self->project));
}

gboolean report_window(gpointer user_data) {
  FlView* self = FL_VIEW(user_data);
  self->window_report_source = 0;
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(self));
  if (GTK_IS_WINDOW(toplevel)) {
    trace_window(GTK_WINDOW(toplevel), GTK_WIDGET(self));
  } else {
    standin_trace("window", "NULL");
  }
  standin_trace_event("window-report-end");

  const gchar* close_when = g_getenv("NORVALE_FLUTTER_CLOSE_WINDOW");
  if (g_strcmp0(close_when, kCloseAfterReport) == 0) {
    close_window(self);
  } else if (g_strcmp0(close_when, kCloseAtStdinEnd) == 0) {
    self->stdin_watch =
        g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                      stdin_readable, self);
  } else if (close_when == nullptr) {
    run_application(self);
  }
  return G_SOURCE_REMOVE;
}

// Starting the engine means reporting the window once the main loop runs,
// then running the application's code.
void start_engine(FlView* self) {
  if (self->window_report_source != 0) return;
  self->window_report_source = g_idle_add(report_window, self);
}

}  // namespace

static FlPluginRegistrar* fl_view_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                           const gchar* name) {
  FlView* self = FL_VIEW(registry);
  FlPluginRegistrar* registrar =
      fl_plugin_registrar_new(name, self, self->messenger, self->texture_registrar);
  g_autofree gchar* quoted = standin_trace_quote(name);
  standin_trace("registrar-requested", "%s %p", quoted, static_cast<void*>(registrar));
  return registrar;
}

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = fl_view_get_registrar_for_plugin;
}

// Implements GtkWidget::realize.
static void fl_view_realize(GtkWidget* widget) {
  GTK_WIDGET_CLASS(fl_view_parent_class)->realize(widget);
  standin_trace_event("view-realize");
  start_engine(FL_VIEW(widget));
}

// Implements GtkWidget::grab_focus.
static void fl_view_grab_focus(GtkWidget* widget) {
  standin_trace_event("view-grab-focus");
  GTK_WIDGET_CLASS(fl_view_parent_class)->grab_focus(widget);
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  g_clear_handle_id(&self->window_report_source, g_source_remove);
  g_clear_handle_id(&self->stdin_watch, g_source_remove);
  g_clear_object(&self->project);
  g_clear_object(&self->messenger);
  g_clear_object(&self->texture_registrar);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  GTK_WIDGET_CLASS(klass)->realize = fl_view_realize;
  GTK_WIDGET_CLASS(klass)->grab_focus = fl_view_grab_focus;
}

static void fl_view_init(FlView* self) {
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
  self->messenger = fl_binary_messenger_new();
  self->texture_registrar = fl_texture_registrar_new();
}

FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  FlView* self = FL_VIEW(g_object_new(fl_view_get_type(), nullptr));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  standin_trace_event("view-new");
  return self;
}

void fl_view_set_background_color(FlView* self, const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(self));
  g_return_if_fail(color != nullptr);
  self->background_color = *color;
  standin_trace("background-color", "%g %g %g %g", color->red, color->green, color->blue,
                color->alpha);
  gtk_widget_queue_draw(GTK_WIDGET(self));
}
