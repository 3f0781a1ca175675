// set_app_icon under a real X server: what GTK's default icon list holds
// afterwards, and what is logged.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "app_icon.h"
#include "desktop_fixture.h"
#include "desktop_scenarios.h"
#include "scenario.h"

namespace {

using namespace desktop_test;

// Sets the icon for DESKTOP_TEST_EXE and prints GTK's default icon list.
// With DESKTOP_TEST_GLIB_LOG set, GLib's own log handler stays in place.
NORVALE_SCENARIO(set_icon) {
  if (g_getenv("DESKTOP_TEST_GLIB_LOG") == nullptr) print_logs_to_stdout();
  SCENARIO_CHECK(gtk_init_check(nullptr, nullptr));
  set_app_icon(g_getenv("DESKTOP_TEST_EXE"));
  GList* icons = gtk_window_get_default_icon_list();
  std::printf("icons");
  for (GList* item = icons; item != nullptr; item = item->next) {
    GdkPixbuf* icon = GDK_PIXBUF(item->data);
    std::printf(" %dx%d", gdk_pixbuf_get_width(icon), gdk_pixbuf_get_height(icon));
  }
  std::printf("\n");
  g_list_free(icons);
  return 0;
}

void write_png(const std::string& path, int width, int height) {
  make_dirs(path.substr(0, path.rfind('/')));
  g_autoptr(GdkPixbuf) image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
  gdk_pixbuf_fill(image, 0x3366ccff);
  ASSERT_TRUE(gdk_pixbuf_save(image, path.c_str(), "png", nullptr, nullptr));
}

norvale_test::ChildResult set_icon(const XdgTree& tree, const FakeBundle& bundle,
                                   const char* glib_log = nullptr) {
  auto options = tree.options();
  options.env["DESKTOP_TEST_EXE"] = bundle.executable;
  if (glib_log != nullptr) {
    options.env["DESKTOP_TEST_GLIB_LOG"] = "1";
    options.env["G_MESSAGES_DEBUG"] = glib_log;
  }
  return norvale_test::run_scenario("set_icon", options);
}

TEST(AppIcon, IsScaledSoThatItsLongerSideIsAtMost256) {
  const struct {
    int width, height;
    const char* icons;
  } cases[] = {
      {256, 256, "icons 256x256\n"}, {256, 40, "icons 256x40\n"},
      {512, 512, "icons 256x256\n"}, {512, 256, "icons 256x128\n"},
      {300, 200, "icons 256x170\n"}, {257, 10, "icons 256x9\n"},
      {1000, 3, "icons 256x1\n"},    {3, 1000, "icons 1x256\n"},
      {1, 1, "icons 1x1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    XdgTree tree;
    FakeBundle bundle = make_bundle(tree.root + "/bundle");
    write_png(bundle.icon(), c.width, c.height);
    auto r = set_icon(tree, bundle);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out, c.icons);
  }
}

TEST(AppIcon, FileThatIsNoImageWarnsWithTheLoadersText) {
  XdgTree tree;
  FakeBundle bundle = make_bundle(tree.root + "/bundle");
  write_file(bundle.icon(), "this is not a picture\n");
  g_autoptr(GError) error = nullptr;
  g_autoptr(GdkPixbuf) image = gdk_pixbuf_new_from_file(bundle.icon().c_str(), &error);
  ASSERT_NE(error, nullptr);
  auto r = set_icon(tree, bundle);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out, "log WARNING - Failed to load app icon " + bundle.icon() + ": " +
                       error->message + "\nicons\n");
}

TEST(AppIcon, DirectoryInPlaceOfTheIconWarns) {
  XdgTree tree;
  FakeBundle bundle = make_bundle(tree.root + "/bundle");
  make_dirs(bundle.icon());
  auto r = set_icon(tree, bundle);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(r.out.rfind("log WARNING - Failed to load app icon " + bundle.icon() + ": ", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\nicons\n"), std::string::npos);
}

TEST(AppIcon, FifoOrDeviceInPlaceOfTheIconWarnsWithoutWaitingOrReadingForEver) {
  const struct {
    const char* name;
    void (*make)(const std::string& icon);
  } cases[] = {
      {"fifo", [](const std::string& icon) { ASSERT_EQ(mkfifo(icon.c_str(), 0600), 0); }},
      {"device", [](const std::string& icon) { ASSERT_EQ(symlink("/dev/zero", icon.c_str()), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    XdgTree tree;
    FakeBundle bundle = make_bundle(tree.root + "/bundle");
    make_dirs(bundle.icon().substr(0, bundle.icon().rfind('/')));
    c.make(bundle.icon());
    auto r = set_icon(tree, bundle);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out, "log WARNING - Failed to load app icon " + bundle.icon() +
                         ": not a regular file\nicons\n");
  }
}

TEST(AppIcon, MissingIconIsOnlyADebugMessage) {
  XdgTree tree;
  FakeBundle bundle = make_bundle(tree.root + "/bundle");
  auto captured = set_icon(tree, bundle);
  EXPECT_EQ(captured.out, "log DEBUG - No app icon at " + bundle.icon() + "\nicons\n");

  // GLib's own handler shows it only when debug output is switched on.
  auto quiet = set_icon(tree, bundle, "");
  EXPECT_EQ(quiet.exit_code(), 0) << quiet.err;
  EXPECT_EQ(quiet.out, "icons\n");
  EXPECT_EQ(quiet.err.find("No app icon"), std::string::npos) << quiet.err;
  auto debug = set_icon(tree, bundle, "all");
  EXPECT_EQ(debug.exit_code(), 0) << debug.err;
  // GLib's default handler writes debug messages to standard output.
  EXPECT_EQ(debug.out.rfind("icons\n"), debug.out.size() - 6) << debug.out;
  EXPECT_NE(debug.out.find("DEBUG: "), std::string::npos) << debug.out;
  EXPECT_NE(debug.out.find(": No app icon at " + bundle.icon() + "\n"), std::string::npos)
      << debug.out;
}

}  // namespace
