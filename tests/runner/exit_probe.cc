// A GTK module that the tests load into runner (GTK_MODULES) to see how
// the process ends: it leaves text in the standard output buffer, and
// registers an exit handler and a static destructor that would say so on
// standard error if they ran.

#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void say(const char* text) {
  ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

struct StaticObject {
  ~StaticObject() { say("exit probe: static destructor ran\n"); }
};
StaticObject static_object;

void exit_handler() { say("exit probe: exit handler ran\n"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) void gtk_module_init(gint*, gchar***) {
  std::atexit(exit_handler);
  // Standard output is a pipe in the tests, so this stays in the buffer.
  std::fputs("exit probe: printed during the run, never flushed\n", stdout);
}
