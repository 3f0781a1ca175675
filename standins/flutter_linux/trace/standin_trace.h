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
