// Process entry: either a Python interpreter (a multiprocessing child, or a
// command line of the application's own Python program), or the
// application.

#include <fcntl.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "interpreter_child.h"
#include "my_application.h"

namespace {

// The locale that python3 gives its programs: the desktop's character set,
// and "C" for dates, numbers, collation and money, so that a program parses
// and formats the same under every desktop language. GTK would take all of
// them from the desktop; its translations (LC_MESSAGES) still do.
void use_python_locale() {
  gtk_disable_setlocale();
  std::setlocale(LC_CTYPE, "");
  std::setlocale(LC_MESSAGES, "");
}

// A standard descriptor that was closed at the start would be taken by the
// first file the process opens (GLib's wakeup descriptors among them), and
// the program would read from or write to that: /dev/null stands in.
void keep_standard_descriptors_taken() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

// Everything the application starts inherits it; set while this is the
// only thread, as setenv needs.
void mark_application_process() {
  setenv(kApplicationPidVariable, std::to_string(getpid()).c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  if (run_as_interpreter_child(argc, argv, &status)) return status;

  keep_standard_descriptors_taken();
  mark_application_process();
  use_python_locale();
  MyApplication* application = my_application_new();
  status = g_application_run(G_APPLICATION(application), argc, argv);
  // No exit handlers, static destructors or interpreter finalisation after
  // the run; but what the program printed last must not be lost with the
  // stream buffers.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}
