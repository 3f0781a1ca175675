#ifndef RUNNER_MY_APPLICATION_H_
#define RUNNER_MY_APPLICATION_H_

#include <gtk/gtk.h>

G_DECLARE_FINAL_TYPE(MyApplication, my_application, MY, APPLICATION, GtkApplication)

// Sets the program name and returns a new application (a full reference,
// owned by the caller). Every start is its own primary instance.
MyApplication* my_application_new();

#endif  // RUNNER_MY_APPLICATION_H_
