#ifndef STANDINS_APP_STANDIN_APP_H_
#define STANDINS_APP_STANDIN_APP_H_

// The stand-in for the application's compiled Dart code (lib/libapp.so in a
// real bundle). The stand-in engine loads the library from its own
// directory when the view starts and calls its entry on the GTK main
// thread, as the real engine runs the Dart entry point.

#include <gtk/gtk.h>

G_BEGIN_DECLS

#define STANDIN_APP_LIBRARY "libapp.so"
#define STANDIN_APP_ENTRY "standin_app_main"

// Fills `view` (the Flutter view, a GtkBox; borrowed) with the application's
// user interface and starts its Python program. `arguments` are the Dart
// entry point's arguments (NULL-terminated, borrowed for the call).
typedef void (*StandinAppMain)(GtkWidget* view, char** arguments);

__attribute__((visibility("default"))) void standin_app_main(GtkWidget* view, char** arguments);

G_END_DECLS

#endif  // STANDINS_APP_STANDIN_APP_H_
