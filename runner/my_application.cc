// The application object, and on activation the main window with the
// Flutter view.

#include "my_application.h"

#include <flutter_linux/flutter_linux.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "app_icon.h"
#include "desktop_integration.h"
#include "generated_plugin_registrant.h"

struct _MyApplication {
  GtkApplication parent_instance;

  // The command-line arguments after the program name, for the Dart entry
  // point (owned); NULL until the command line is handled.
  char** dart_entrypoint_arguments;
};

G_DEFINE_TYPE(MyApplication, my_application, GTK_TYPE_APPLICATION)

namespace {

constexpr int kDefaultWidth = 1280;
constexpr int kDefaultHeight = 720;

// GNOME Shell draws no title bar the application could use, and Wayland
// compositors may draw none: there the window brings its own header bar.
bool wants_plain_title(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
  GdkScreen* screen = gtk_window_get_screen(window);
  if (screen != nullptr && GDK_IS_X11_SCREEN(screen)) {
    return g_strcmp0(gdk_x11_screen_get_window_manager_name(screen), "GNOME Shell") != 0;
  }
#else
  (void)window;
#endif
  return false;
}

void set_up_title(GtkWindow* window) {
  if (wants_plain_title(window)) {
    gtk_window_set_title(window, APPLICATION_TITLE);
    return;
  }
  GtkHeaderBar* header_bar = GTK_HEADER_BAR(gtk_header_bar_new());
  gtk_widget_show(GTK_WIDGET(header_bar));
  gtk_header_bar_set_title(header_bar, APPLICATION_TITLE);
  gtk_header_bar_set_show_close_button(header_bar, TRUE);
  gtk_window_set_titlebar(window, GTK_WIDGET(header_bar));
}

// The view's transparent background only shows through on a composited
// screen; elsewhere an RGBA visual buys nothing.
void use_rgba_visual_if_composited(GtkWindow* window) {
  GdkScreen* screen = gtk_window_get_screen(window);
  GdkVisual* visual = gdk_screen_get_rgba_visual(screen);
  if (visual != nullptr && gdk_screen_is_composited(screen)) {
    gtk_widget_set_visual(GTK_WIDGET(window), visual);
  }
}

// "ZEMTRA_NO_IMPELLER" decides when it says yes; otherwise the software
// renderer asked for through "FLUTTER_LINUX_RENDERER" needs Impeller off.
bool impeller_switched_off() {
  const gchar* no_impeller = g_getenv("ZEMTRA_NO_IMPELLER");
  if (no_impeller != nullptr &&
      (g_strcmp0(no_impeller, "1") == 0 || g_ascii_strcasecmp(no_impeller, "true") == 0 ||
       g_ascii_strcasecmp(no_impeller, "yes") == 0)) {
    return true;
  }
  return g_strcmp0(g_getenv("FLUTTER_LINUX_RENDERER"), "software") == 0;
}

FlDartProject* create_project(MyApplication* self) {
  FlDartProject* project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(project, self->dart_entrypoint_arguments);
  if (impeller_switched_off()) fl_dart_project_set_enable_impeller(project, FALSE);
  return project;
}

FlView* add_view(GtkWindow* window, FlDartProject* project) {
  FlView* view = fl_view_new(project);
  GdkRGBA transparent = {0.0, 0.0, 0.0, 0.0};
  fl_view_set_background_color(view, &transparent);
  gtk_widget_show(GTK_WIDGET(view));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  gtk_widget_realize(GTK_WIDGET(view));
  return view;
}

}  // namespace

// Implements GApplication::activate. The window is realized but never
// shown here: the application's Dart code shows it when it is ready.
static void my_application_activate(GApplication* application) {
  MyApplication* self = MY_APPLICATION(application);
  GtkWindow* window = GTK_WINDOW(gtk_application_window_new(GTK_APPLICATION(application)));
  set_up_title(window);

  g_autofree gchar* executable_path = g_file_read_link("/proc/self/exe", nullptr);
  if (executable_path != nullptr) {
    install_desktop_entry(executable_path);
    set_app_icon(executable_path);
  }

  gtk_window_set_default_size(window, kDefaultWidth, kDefaultHeight);
  use_rgba_visual_if_composited(window);
  gtk_widget_realize(GTK_WIDGET(window));

  g_autoptr(FlDartProject) project = create_project(self);
  FlView* view = add_view(window, project);
  fl_register_plugins(FL_PLUGIN_REGISTRY(view));
  gtk_widget_grab_focus(GTK_WIDGET(view));
}

// Implements GApplication::local_command_line. Every argument goes to the
// Dart entry point, so GLib and GTK parse none of them.
static gboolean my_application_local_command_line(GApplication* application, gchar*** arguments,
                                                  int* exit_status) {
  MyApplication* self = MY_APPLICATION(application);
  gchar** argv = *arguments;
  if (argv != nullptr && argv[0] != nullptr) {
    self->dart_entrypoint_arguments = g_strdupv(argv + 1);
  } else {
    self->dart_entrypoint_arguments = g_new0(gchar*, 1);
  }

  g_autoptr(GError) error = nullptr;
  if (!g_application_register(application, nullptr, &error)) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "Failed to register: %s",
          error != nullptr ? error->message : "unknown error");
    *exit_status = 1;
    return TRUE;
  }
  g_application_activate(application);
  *exit_status = 0;
  return TRUE;
}

// Implements GApplication::startup.
static void my_application_startup(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->startup(application);
}

// Implements GApplication::shutdown: this instance's desktop entry is dealt
// with while GTK still runs.
static void my_application_shutdown(GApplication* application) {
  remove_desktop_entry();
  G_APPLICATION_CLASS(my_application_parent_class)->shutdown(application);
}

// Implements GObject::dispose.
static void my_application_dispose(GObject* object) {
  MyApplication* self = MY_APPLICATION(object);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(my_application_parent_class)->dispose(object);
}

static void my_application_class_init(MyApplicationClass* klass) {
  G_APPLICATION_CLASS(klass)->activate = my_application_activate;
  G_APPLICATION_CLASS(klass)->local_command_line = my_application_local_command_line;
  G_APPLICATION_CLASS(klass)->startup = my_application_startup;
  G_APPLICATION_CLASS(klass)->shutdown = my_application_shutdown;
  G_OBJECT_CLASS(klass)->dispose = my_application_dispose;
}

static void my_application_init(MyApplication*) {}

MyApplication* my_application_new() {
  // Before the type and the object exist, so that everything sees the
  // application's own name.
  g_set_prgname(APPLICATION_ID);
  return MY_APPLICATION(g_object_new(my_application_get_type(), "application-id", APPLICATION_ID,
                                     "flags", G_APPLICATION_NON_UNIQUE, nullptr));
}
