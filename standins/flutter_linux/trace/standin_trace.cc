#include "standin_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

namespace {

// One write per line on a descriptor opened for appending, so lines of
// several processes sharing a trace never interleave.
void append_line(const gchar* line) {
  const gchar* path = g_getenv("NORVALE_FLUTTER_TRACE");
  if (path == nullptr || *path == '\0') return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  g_autofree gchar* text = g_strconcat(line, "\n", nullptr);
  size_t length = strlen(text);
  size_t written = 0;
  while (written < length) {
    ssize_t n = write(fd, text + written, length - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fd);
}

}  // namespace

void standin_trace_event(const char* key) { append_line(key); }

void standin_trace(const char* key, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  g_autofree gchar* values = g_strdup_vprintf(format, arguments);
  va_end(arguments);
  if (*values == '\0') {
    append_line(key);
    return;
  }
  g_autofree gchar* line = g_strconcat(key, " ", values, nullptr);
  append_line(line);
}

gchar* standin_trace_quote(const char* text) {
  if (text == nullptr) return g_strdup("NULL");
  g_autofree gchar* escaped = g_strescape(text, nullptr);
  return g_strconcat("\"", escaped, "\"", nullptr);
}

const char* standin_trace_bool(gboolean value) { return value ? "TRUE" : "FALSE"; }
