#include "app_icon.h"

#include <glib/gstdio.h>
#include <gtk/gtk.h>
#include <sys/stat.h>

namespace {

// Longest side of an icon used as it is; larger ones are scaled down to it.
constexpr gint64 kLargestIconSide = 256;

// `side` scaled so that `longer` becomes kLargestIconSide, at least 1.
int scaled_side(int side, int longer) {
  const gint64 scaled = static_cast<gint64>(side) * kLargestIconSide / longer;
  return scaled < 1 ? 1 : static_cast<int>(scaled);
}

void report_load_failure(const char* path, const GError* error) {
  if (g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
    g_log(nullptr, G_LOG_LEVEL_DEBUG, "No app icon at %s", path);
    return;
  }
  g_log(nullptr, G_LOG_LEVEL_WARNING, "Failed to load app icon %s: %s", path,
        error != nullptr ? error->message : "unknown error");
}

// A FIFO would make the image loader wait for a writer for ever, a device
// would be read without end.
bool is_special_file(const char* path) {
  GStatBuf info;
  return g_stat(path, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

}  // namespace

void set_app_icon(const char* executable_path) {
  g_autofree char* dir = g_path_get_dirname(executable_path);
  g_autofree char* path = g_build_filename(dir, "data", "app_icon.png", nullptr);
  g_autoptr(GError) error = nullptr;
  if (is_special_file(path)) {
    g_set_error_literal(&error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "not a regular file");
    report_load_failure(path, error);
    return;
  }
  g_autoptr(GdkPixbuf) image = gdk_pixbuf_new_from_file(path, &error);
  if (image == nullptr) {
    report_load_failure(path, error);
    return;
  }
  const int width = gdk_pixbuf_get_width(image);
  const int height = gdk_pixbuf_get_height(image);
  const int longer = MAX(width, height);
  if (longer <= kLargestIconSide) {
    gtk_window_set_default_icon(image);
    return;
  }
  g_autoptr(GdkPixbuf) scaled = gdk_pixbuf_scale_simple(
      image, scaled_side(width, longer), scaled_side(height, longer), GDK_INTERP_BILINEAR);
  if (scaled == nullptr) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "Failed to scale app icon %s", path);
    return;
  }
  gtk_window_set_default_icon(scaled);
}
