#ifndef TESTS_SHELL_GNOME_SHELL_H_
#define TESTS_SHELL_GNOME_SHELL_H_

// Asking a running GNOME Shell how it sees the windows of a process, through
// org.gnome.Shell.Eval on the session bus. The display harness
// (with_display --wayland=gnome-shell or --wm=gnome-shell) starts the shell
// with Eval open.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;

namespace shell_test {

// One window as the shell's window tracker sees it.
struct ShellWindow {
  std::string app_id;    // desktop file ID, or "window:N" for a window-backed app
  std::string app_name;
  std::string app_icon;  // the entry's icon (a file icon as its path); "" without an entry
  bool window_backed = true;
  std::string client;    // "wayland" or "x11"
  std::string wm_class;
  std::string wm_class_instance;
  std::string gtk_application_id;
  bool shown = false;      // mapped on screen
  bool decorated = false;  // the shell draws a frame with a title bar of its own
};

class GnomeShell {
 public:
  GnomeShell();  // on the bus of DBUS_SESSION_BUS_ADDRESS
  ~GnomeShell();
  GnomeShell(const GnomeShell&) = delete;
  GnomeShell& operator=(const GnomeShell&) = delete;

  // The shell's JSON answer to `code`; nothing when it fails (see error()).
  std::optional<std::string> eval(const std::string& code);
  // The windows of process `pid`; nothing when the shell did not answer.
  std::optional<std::vector<ShellWindow>> windows_of(pid_t pid);
  // Whether the shell knows an application by this desktop file ID.
  std::optional<bool> knows_app(const std::string& desktop_id);
  const std::string& error() const { return error_; }

 private:
  GDBusConnection* bus_ = nullptr;
  std::string error_;
};

// The shell takes its time over new entries (about 5 s); tests wait for it
// only by polling, up to this bound.
inline constexpr std::chrono::seconds kShellBound{40};

// Checks `condition` every 50 ms until it holds (true) or `bound` passes
// (false).
bool within(std::chrono::milliseconds bound, const std::function<bool()>& condition);

// Writes a desktop entry that nothing else refers to, and waits until the
// shell knows it: after that, the shell has read every entry written
// before. False when it did not within the bound.
bool shell_has_caught_up(GnomeShell& shell, const std::string& data_home);

}  // namespace shell_test

#endif  // TESTS_SHELL_GNOME_SHELL_H_
