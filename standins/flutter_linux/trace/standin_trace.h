#ifndef STANDINS_FLUTTER_LINUX_TRACE_STANDIN_TRACE_H_
#define STANDINS_FLUTTER_LINUX_TRACE_STANDIN_TRACE_H_

// The event trace of the stand-in embedding and plugins: what the
// application did inside them, for tests to read afterwards.
//
// When NORVALE_FLUTTER_TRACE names a file, every event appends one line
// "KEY" or "KEY VALUE..." to it. Strings appear in double quotes with C
// escapes (g_strescape: quotes, backslashes, control characters and every
// byte from 0x7f up escaped), so a line always splits unambiguously at
// blanks outside quotes and g_strcompress gives the original bytes back.
// Booleans are TRUE or FALSE, a missing string or object is NULL, objects
// are named by their address.
//
// The events, in the order an application start produces them:
//   project-new
//   dart-entrypoint-arguments ARG...    as received (NULL: no vector)
//   enable-impeller TRUE|FALSE          one line per call
//   view-new
//   background-color R G B A
//   view-realize
//   registrar-requested NAME ADDRESS    the registry handed one out
//   plugin-registered FUNCTION ADDRESS  a plugin's register function ran
//   registrar-released NAME ADDRESS     its last reference went
//   view-grab-focus
// and once the main loop runs, the window's state:
//   window-realized, window-visible, window-mapped TRUE|FALSE
//   window-default-size WIDTH HEIGHT
//   window-title TITLE|NULL
//   window-titlebar NULL | header-bar TITLE close-button TRUE|FALSE | TYPE
//   window-rgba-visual TRUE|FALSE       the realized window got the RGBA visual
//   window-children COUNT view|TYPE...  apart from the title bar
//   window-focus view|NULL|TYPE
//   window-report-end
//   window-close                        the stand-in application closes it
//                                       (see NORVALE_FLUTTER_CLOSE_WINDOW in fl_view.cc)

#include <glib.h>

// Appends "KEY" as one line.
void standin_trace_event(const char* key);

// Appends "KEY " followed by the formatted values as one line ("KEY" alone
// when they format to nothing).
void standin_trace(const char* key, const char* format, ...) G_GNUC_PRINTF(2, 3);

// Returns `text` quoted and escaped as described above, or "NULL".
gchar* standin_trace_quote(const char* text);

// "TRUE" or "FALSE".
const char* standin_trace_bool(gboolean value);

#endif  // STANDINS_FLUTTER_LINUX_TRACE_STANDIN_TRACE_H_
