#include "gnome_shell.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace shell_test {

namespace {

// Every value a string, so that the JSON answer reads as a GVariant of
// type aa{ss}.
constexpr char kWindowsOfPid[] = R"((() => {
  const tracker = imports.gi.Shell.WindowTracker.get_default();
  return global.display.list_all_windows().filter(w => w.get_pid() === PID).map(w => {
    const app = tracker.get_window_app(w);
    const info = app ? app.get_app_info() : null;
    const icon = info ? info.get_icon() : null;
    const actor = w.get_compositor_private();
    return {
      app_id: app ? app.get_id() : '',
      app_name: app ? app.get_name() || '' : '',
      app_icon: icon ? icon.to_string() : '',
      window_backed: String(app ? app.is_window_backed() : true),
      client: w.get_client_type() === imports.gi.Meta.WindowClientType.WAYLAND ? 'wayland' : 'x11',
      wm_class: w.get_wm_class() || '',
      wm_class_instance: w.get_wm_class_instance() || '',
      gtk_application_id: w.get_gtk_application_id() || '',
      shown: String(actor !== null && actor.visible && !w.minimized),
      decorated: String(w.decorated),
    };
  });
})())";

std::string lookup(GVariant* dict, const char* key) {
  const char* value = nullptr;
  return g_variant_lookup(dict, key, "&s", &value) ? value : "";
}

}  // namespace

GnomeShell::GnomeShell() {
  g_autoptr(GError) error = nullptr;
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr) {
    error_ = "no session bus";
    return;
  }
  bus_ = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus_ == nullptr) error_ = error->message;
}

GnomeShell::~GnomeShell() {
  if (bus_ != nullptr) {
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
  }
}

std::optional<std::string> GnomeShell::eval(const std::string& code) {
  if (bus_ == nullptr) return std::nullopt;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus_, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "Eval",
      g_variant_new("(s)", code.c_str()), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000,
      nullptr, &error);
  if (reply == nullptr) {
    error_ = error->message;
    return std::nullopt;
  }
  if (!g_variant_check_format_string(reply, "(b&s)", FALSE)) {
    error_ = "Eval answered with an unexpected type";
    return std::nullopt;
  }
  gboolean ok = FALSE;
  const char* answer = nullptr;
  g_variant_get(reply, "(b&s)", &ok, &answer);
  if (!ok) {
    error_ = std::string("Eval failed: ") + answer;
    return std::nullopt;
  }
  return answer;
}

std::optional<std::vector<ShellWindow>> GnomeShell::windows_of(pid_t pid) {
  std::string code = kWindowsOfPid;
  code.replace(code.find("PID"), 3, std::to_string(pid));
  auto answer = eval(code);
  if (!answer) return std::nullopt;
  g_autoptr(GVariantType) type = g_variant_type_new("aa{ss}");
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) list = g_variant_parse(type, answer->c_str(), nullptr, nullptr, &error);
  if (list == nullptr) {
    error_ = "cannot read the answer " + *answer + ": " + error->message;
    return std::nullopt;
  }
  std::vector<ShellWindow> windows;
  for (gsize i = 0; i < g_variant_n_children(list); ++i) {
    g_autoptr(GVariant) item = g_variant_get_child_value(list, i);
    ShellWindow window;
    window.app_id = lookup(item, "app_id");
    window.app_name = lookup(item, "app_name");
    window.app_icon = lookup(item, "app_icon");
    window.window_backed = lookup(item, "window_backed") == "true";
    window.client = lookup(item, "client");
    window.wm_class = lookup(item, "wm_class");
    window.wm_class_instance = lookup(item, "wm_class_instance");
    window.gtk_application_id = lookup(item, "gtk_application_id");
    window.shown = lookup(item, "shown") == "true";
    window.decorated = lookup(item, "decorated") == "true";
    windows.push_back(window);
  }
  return windows;
}

std::optional<bool> GnomeShell::knows_app(const std::string& desktop_id) {
  // The ID as a JSON string is a JavaScript string literal too.
  g_autoptr(GVariant) id = g_variant_new_string(desktop_id.c_str());
  g_autofree char* literal = g_variant_print(id, FALSE);
  auto answer = eval(std::string("imports.gi.Shell.AppSystem.get_default().lookup_app(") +
                     literal + ") !== null");
  if (!answer) return std::nullopt;
  return *answer == "true";
}

bool within(std::chrono::milliseconds bound, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

bool shell_has_caught_up(GnomeShell& shell, const std::string& data_home) {
  static int count = 0;
  const std::string id = "norvale-test-probe-" + std::to_string(getpid()) + "-" +
                         std::to_string(++count) + ".desktop";
  const std::string dir = data_home + "/applications";
  g_mkdir_with_parents(dir.c_str(), 0700);
  const std::string text =
      "[Desktop Entry]\nType=Application\nName=Probe\nExec=true\nNoDisplay=true\n";
  if (!g_file_set_contents((dir + "/" + id).c_str(), text.c_str(), -1, nullptr)) return false;
  return within(kShellBound, [&] { return shell.knows_app(id).value_or(false); });
}

}  // namespace shell_test
