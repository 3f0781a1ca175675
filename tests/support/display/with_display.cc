// with_display: runs one command against a display server of its own, and
// tears everything down afterwards.
//
//   with_display [OPTION...] [--] COMMAND [ARG...]
//
//   --x11            Xvfb on a free display number (the default); DISPLAY is
//                    set, WAYLAND_DISPLAY removed.
//   --wayland        weston's headless backend instead; WAYLAND_DISPLAY and
//                    GDK_BACKEND=wayland are set, DISPLAY is removed.
//   --wayland=gnome-shell
//                    GNOME Shell as a headless Wayland compositor instead of
//                    weston (see below); DISPLAY and XAUTHORITY are its
//                    Xwayland's.
//   --wm=openbox     X11: start openbox and wait until it manages the screen.
//   --wm=gnome-shell X11: start GNOME Shell as window and compositing
//                    manager (see below). GNOME Shell 50 and later have no
//                    X11 back end: then the harness fails with status 125.
//   --wm-name=NAME   X11: pose as a window manager called NAME, e.g.
//                    --wm-name="GNOME Shell": the EWMH check window
//                    (_NET_SUPPORTING_WM_CHECK with _NET_WM_NAME), nothing else.
//   --compositor     X11: start xcompmgr and wait until it owns the screen's
//                    compositing-manager selection.
//   --no-session-bus Keep the caller's D-Bus session bus. By default the
//                    command gets a private one (DBUS_SESSION_BUS_ADDRESS), so
//                    that nothing reaches the user's own session.
//   --xdg-tree       Give the run a throwaway XDG tree of its own (runtime,
//                    data, config and cache directories, HOME, and a system
//                    data directory before /usr/share), made before the
//                    servers start, so that they and the command share it,
//                    and removed afterwards. GNOME Shell and the services
//                    it starts write into these directories: without this
//                    option, the caller's should be throwaway ones too.
//
// GNOME Shell gets a private, empty system bus (DBUS_SYSTEM_BUS_ADDRESS;
// it looks for logind there), in-memory settings, and a session mode of
// ours whose one extension switches on unsafe mode, so that the command
// can ask it about windows with org.gnome.Shell.Eval on the session bus.
// It counts as ready once Eval answers. It crashes when it ends, so its
// exit status means nothing and it dumps no core. Processes that it or the
// buses leave behind are this harness's (it is their subreaper when the
// shell runs) and are ended with it.
//
// Every server is waited for until it is ready, by the event it produces
// (Xvfb's -displayfd, a property or selection change on the root window, the
// bus address, weston's socket accepting connections), never by sleeping a
// fixed time. The command inherits the standard streams and every other open
// descriptor of the caller; the servers get none of them (their output goes
// to an anonymous file, shown when one fails to start, so that nothing stays
// on disk even when the harness is killed). NO_AT_BRIDGE=1 is set
// unless the caller set it: GTK's accessibility bridge would start buses of
// its own. XDG_RUNTIME_DIR is kept when set (weston puts its socket there);
// otherwise a private one is made for the run.
//
// The exit status is the command's, 128 + N when signal N ended it, and 125
// when a server could not be started. SIGTERM, SIGINT and SIGHUP are passed
// on to the command. The servers are in the caller's process group and die
// with the harness.
//
// From CMake, as the test groups do:
//   if(NOT TARGET norvale_with_display)
//     add_subdirectory(<tests>/support/display ${CMAKE_BINARY_DIR}/tests/support/display)
//   endif()
// then run $<TARGET_FILE:norvale_with_display> (tests/with_display in the build
// tree), e.g. as a test's CROSSCOMPILING_EMULATOR.

// Before Xlib, whose macros (None, Bool, Status) would reach GLib's names.
#include <gio/gio.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kSetupFailed = 125;
constexpr auto kStartDeadline = std::chrono::seconds(30);

struct Options {
  bool wayland = false;
  bool openbox = false;
  bool gnome_shell = false;  // Wayland compositor or X11 window manager
  bool xdg_tree = false;
  std::optional<std::string> wm_name;
  bool compositor = false;
  bool session_bus = true;
  std::vector<std::string> command;
};

struct Server {
  std::string name;
  pid_t pid = -1;
  int log = -1;  // an anonymous file: nothing is left behind, even after SIGKILL
  bool reaped = false;
};

std::deque<Server> g_servers;  // references to its items stay valid
std::string g_runtime_dir;  // made for the run when the caller had none
std::vector<std::string> g_made_dirs;  // the XDG tree and the shell's data
std::string g_xdg_tree;                // the tree, when made
volatile sig_atomic_t g_command_pid = 0;

void fail(const std::string& message) {
  std::fprintf(stderr, "with_display: %s\n", message.c_str());
}

std::string temp_dir() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

void show_log(const Server& server) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  off_t offset = 0;
  while ((n = pread(server.log, buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  if (!text.empty()) {
    std::fprintf(stderr, "---- %s log ----\n%s\n----\n", server.name.c_str(), text.c_str());
  }
}

bool exited(Server& server) {
  int status = 0;
  if (!server.reaped && waitpid(server.pid, &status, WNOHANG) == server.pid) server.reaped = true;
  return server.reaped;
}

// Starts a server with its output in a log of its own. `keep_fd` stays open
// in it (for -displayfd and --print-address); nothing else of ours does.
// `env` (NAME=VALUE items) is set for it alone.
Server* spawn_server(const std::string& name, const std::vector<std::string>& argv,
                     int keep_fd = -1, const std::vector<std::string>& env = {}) {
  int log = open(temp_dir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (log < 0 || null < 0) {
    fail("cannot make a log for " + name);
    return nullptr;
  }
  Server server{name, -1, log};
  // Made before the fork: the child only execs.
  std::vector<std::string> environment = env;
  for (char** item = environ; *item != nullptr; ++item) {
    std::string_view text(*item);
    std::string_view key = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const std::string& own : env) replaced = replaced || own.rfind(key, 0) == 0;
    if (!replaced) environment.emplace_back(text);
  }
  std::vector<char*> args, envp;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  for (std::string& item : environment) envp.push_back(item.data());
  envp.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    dup2(null, STDIN_FILENO);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    if (keep_fd >= 3) {
      close_range(3, static_cast<unsigned>(keep_fd) - 1, 0);
      close_range(static_cast<unsigned>(keep_fd) + 1, ~0U, 0);
      fcntl(keep_fd, F_SETFD, 0);
    } else {
      close_range(3, ~0U, 0);
    }
    execvpe(args[0], args.data(), envp.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  close(null);
  if (pid < 0) {
    close(log);
    return nullptr;
  }
  server.pid = pid;
  g_servers.push_back(server);
  return &g_servers.back();
}

// Waits until `ready` holds, re-checking whenever `fd` becomes readable (the
// event source) and at short intervals otherwise; gives up when the server
// ends or the deadline passes.
bool wait_until(Server& server, int fd, const std::function<bool()>& ready) {
  auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  while (!ready()) {
    if (exited(server) || std::chrono::steady_clock::now() > deadline) {
      fail(server.name + " did not become ready");
      show_log(server);
      return false;
    }
    pollfd entry{fd, POLLIN, 0};
    poll(&entry, fd >= 0 ? 1 : 0, 20);
  }
  return true;
}

// Reads one line that a server writes to the pipe it was given.
std::optional<std::string> read_line_from(Server& server, int fd) {
  std::string line;
  bool done = false;
  auto got_line = [&] {
    char c;
    ssize_t n;
    while ((n = read(fd, &c, 1)) == 1) {
      if (c == '\n') return done = true;
      line += c;
    }
    if (n == 0) return done = true;  // end of file: what came is all
    return false;
  };
  fcntl(fd, F_SETFL, O_NONBLOCK);
  if (!wait_until(server, fd, got_line) || line.empty()) return std::nullopt;
  return line;
}

bool start_gnome_shell(bool wayland);

// ---- X11 --------------------------------------------------------------------

int ignore_x_errors(Display*, XErrorEvent*) { return 0; }

void drain_events(Display* display) {
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
  }
}

std::optional<Window> window_property(Display* display, Window window, const char* name) {
  Atom atom = XInternAtom(display, name, False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<Window> result;
  if (XGetWindowProperty(display, window, atom, 0, 1, False, XA_WINDOW, &type, &format, &count,
                         &after, &data) == Success &&
      type == XA_WINDOW && format == 32 && count == 1) {
    result = *reinterpret_cast<Window*>(data);
  }
  if (data != nullptr) XFree(data);
  return result;
}

bool has_property(Display* display, Window window, const char* name) {
  Atom atom = XInternAtom(display, name, False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  int status = XGetWindowProperty(display, window, atom, 0, 0, False, AnyPropertyType, &type,
                                  &format, &count, &after, &data);
  if (data != nullptr) XFree(data);
  return status == Success && type != None;
}

// The EWMH check as GDK makes it: the root names a window that names
// itself, and that window carries the manager's name.
bool window_manager_present(Display* display) {
  drain_events(display);
  Window root = DefaultRootWindow(display);
  auto check = window_property(display, root, "_NET_SUPPORTING_WM_CHECK");
  if (!check) return false;
  auto self = window_property(display, *check, "_NET_SUPPORTING_WM_CHECK");
  return self && *self == *check && has_property(display, *check, "_NET_WM_NAME");
}

void pose_as_window_manager(Display* display, const std::string& name) {
  Window root = DefaultRootWindow(display);
  Window check = XCreateSimpleWindow(display, root, -100, -100, 1, 1, 0, 0, 0);
  Atom check_atom = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom name_atom = XInternAtom(display, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  XChangeProperty(display, check, check_atom, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&check), 1);
  XChangeProperty(display, check, name_atom, utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(name.data()),
                  static_cast<int>(name.size()));
  XChangeProperty(display, root, check_atom, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&check), 1);
  XSync(display, False);
}

bool compositor_present(Display* display) {
  drain_events(display);
  std::string selection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display));
  return XGetSelectionOwner(display, XInternAtom(display, selection.c_str(), False)) != None;
}

std::optional<std::string> start_xvfb() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  auto server = spawn_server("Xvfb",
                             {"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp",
                              "-noreset", "-screen", "0", "1280x1024x24"},
                             fds[1]);
  close(fds[1]);
  std::optional<std::string> number;
  if (server) number = read_line_from(*server, fds[0]);
  close(fds[0]);
  if (!number) return std::nullopt;
  return ":" + *number;
}

bool start_x11(const Options& options, Display** display_out) {
  auto name = start_xvfb();
  if (!name) return false;
  setenv("DISPLAY", name->c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  Display* display = XOpenDisplay(name->c_str());
  if (display == nullptr) {
    fail("cannot open display " + *name);
    return false;
  }
  *display_out = display;
  XSetErrorHandler(ignore_x_errors);
  Window root = DefaultRootWindow(display);
  // Selected before the servers start, so that no change goes unnoticed.
  XSelectInput(display, root, PropertyChangeMask);
  int event_base = 0, error_base = 0;
  bool xfixes = XFixesQueryExtension(display, &event_base, &error_base);
  if (xfixes) {
    std::string selection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display));
    XFixesSelectSelectionInput(display, root, XInternAtom(display, selection.c_str(), False),
                               XFixesSetSelectionOwnerNotifyMask);
  }
  XSync(display, False);
  int fd = ConnectionNumber(display);

  if (options.wm_name) pose_as_window_manager(display, *options.wm_name);
  if (options.openbox) {
    auto wm = spawn_server("openbox", {"openbox", "--sm-disable"});
    if (!wm || !wait_until(*wm, fd, [&] { return window_manager_present(display); })) return false;
  }
  if (options.gnome_shell) {
    // It answers once it runs: by then it manages the screen and composites.
    if (!start_gnome_shell(false)) return false;
    if (!window_manager_present(display) || !compositor_present(display)) {
      fail("gnome-shell runs but does not manage the screen");
      return false;
    }
  }
  if (options.compositor) {
    auto cm = spawn_server("xcompmgr", {"xcompmgr"});
    if (!cm || !wait_until(*cm, fd, [&] { return compositor_present(display); })) return false;
  }
  return true;
}

// ---- Wayland ----------------------------------------------------------------

bool accepts_connections(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// XDG_RUNTIME_DIR, made for the run when the caller has none: the Wayland
// compositors put their sockets there.
std::optional<std::string> runtime_dir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return runtime;
  std::string pattern = temp_dir() + "/with_display.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    fail("cannot make a runtime directory");
    return std::nullopt;
  }
  g_runtime_dir = pattern;
  setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);
  return pattern;
}

// A name for this run's sockets. The process ID alone is not unique: an
// abstract socket's name belongs to the network namespace, which processes
// of other PID namespaces (containers, Debian roots) may share, with the
// same IDs.
const std::string& run_name() {
  static const std::string name = [] {
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", g_random_int());
    return std::to_string(getpid()) + "-" + suffix;
  }();
  return name;
}

bool start_wayland() {
  auto runtime = runtime_dir();
  if (!runtime) return false;
  std::string socket_name = "with-display-" + run_name();
  auto server = spawn_server("weston", {"weston", "--backend=headless-backend.so",
                                        "--socket=" + socket_name, "--idle-time=0", "--no-config"});
  std::string path = *runtime + "/" + socket_name;
  if (!server || !wait_until(*server, -1, [&] { return accepts_connections(path); })) return false;
  setenv("WAYLAND_DISPLAY", socket_name.c_str(), 1);
  setenv("GDK_BACKEND", "wayland", 1);
  unsetenv("DISPLAY");
  return true;
}

// ---- D-Bus ------------------------------------------------------------------

// Starts a bus daemon with `config` (a --session or --config-file option)
// and points `variable` at it.
bool start_bus(const std::string& name, const std::string& config, const char* variable) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // An abstract socket: it goes with the daemon, also when a killed test
  // takes the daemon with it.
  std::string address = "unix:abstract=with-display-" + name + "-" + run_name();
  auto server = spawn_server(name + " bus",
                             {"dbus-daemon", config, "--nofork", "--nopidfile",
                              "--address=" + address, "--print-address=" + std::to_string(fds[1])},
                             fds[1]);
  close(fds[1]);
  std::optional<std::string> printed;
  if (server) printed = read_line_from(*server, fds[0]);
  close(fds[0]);
  if (!printed) {
    fail("the " + name + " bus did not start");
    if (server) show_log(*server);
    return false;
  }
  setenv(variable, printed->c_str(), 1);
  return true;
}

bool start_session_bus() { return start_bus("session", "--session", "DBUS_SESSION_BUS_ADDRESS"); }

// ---- Directories made for the run -------------------------------------------

std::optional<std::string> make_temp_dir(const std::string& stem) {
  std::string pattern = temp_dir() + "/" + stem + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    fail("cannot make a directory in " + temp_dir());
    return std::nullopt;
  }
  g_made_dirs.push_back(pattern);
  return pattern;
}

bool write_text(const std::string& path, const std::string& text) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  FILE* file = std::fopen(path.c_str(), "we");
  if (file == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

bool make_xdg_tree() {
  auto root = make_temp_dir("with_display-xdg");
  if (!root) return false;
  for (const char* name : {"run", "data", "config", "cache", "system"}) {
    if (mkdir((*root + "/" + name).c_str(), 0700) != 0) return false;
  }
  setenv("XDG_RUNTIME_DIR", (*root + "/run").c_str(), 1);
  setenv("XDG_DATA_HOME", (*root + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (*root + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (*root + "/cache").c_str(), 1);
  setenv("XDG_DATA_DIRS", (*root + "/system:/usr/share").c_str(), 1);
  setenv("HOME", root->c_str(), 1);
  g_xdg_tree = *root;
  return true;
}

// ---- GNOME Shell ------------------------------------------------------------

constexpr char kShellMode[] = "with-display";
// The extension that opens Eval, twice: GNOME Shell 45 and later load
// extensions as modules, earlier ones as scripts. Each shell enables the
// one made for it and leaves the other alone as out of date.
struct ShellExtension {
  const char* uuid;
  const char* versions;
  const char* code;
};
constexpr ShellExtension kShellExtensions[] = {
    {"unsafe-mode-script@with-display", R"("43", "44")",
     "function init() {\n"
     "  return { enable() { global.context.unsafe_mode = true; }, disable() {} };\n"
     "}\n"},
    {"unsafe-mode@with-display", R"("45", "46", "47", "48", "49", "50")",
     "import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';\n"
     "export default class extends Extension {\n"
     "  enable() { global.context.unsafe_mode = true; }\n"
     "  disable() {}\n"
     "}\n"},
};

GDBusConnection* g_session_bus = nullptr;

// What the shell answers to Eval of `code` (JSON), or nothing while it
// cannot be asked or refuses.
std::optional<std::string> shell_eval(const std::string& code) {
  if (g_session_bus == nullptr) {
    g_session_bus = g_dbus_connection_new_for_address_sync(
        std::getenv("DBUS_SESSION_BUS_ADDRESS"),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (g_session_bus == nullptr) return std::nullopt;
  }
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      g_session_bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "Eval",
      g_variant_new("(s)", code.c_str()), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr,
      nullptr);
  if (reply == nullptr || !g_variant_check_format_string(reply, "(b&s)", FALSE)) return std::nullopt;
  gboolean ok = FALSE;
  const char* answer = nullptr;
  g_variant_get(reply, "(b&s)", &ok, &answer);
  if (!ok) return std::nullopt;
  return answer;
}

// A session mode of our own whose extension opens Eval; the shell
// finds both in a data directory of its own.
std::optional<std::string> make_shell_data() {
  // Inside the XDG tree when there is one: one directory less to leave
  // behind should the harness be killed.
  std::optional<std::string> dir = g_xdg_tree + "/shell";
  if (g_xdg_tree.empty() || mkdir(dir->c_str(), 0700) != 0) dir = make_temp_dir("with_display-shell");
  if (!dir) return std::nullopt;
  const std::string shell = *dir + "/gnome-shell";
  std::string uuids;
  bool ok = true;
  for (const ShellExtension& extension : kShellExtensions) {
    const std::string path = shell + "/extensions/" + extension.uuid;
    uuids += std::string(uuids.empty() ? "" : ", ") + "\"" + extension.uuid + "\"";
    ok = ok &&
         write_text(path + "/metadata.json",
                    std::string(R"({"uuid": ")") + extension.uuid +
                        R"(", "name": "Unsafe mode", "description": "Lets tests ask the shell", )"
                        R"("shell-version": [)" + extension.versions + "]}\n") &&
         write_text(path + "/extension.js", extension.code);
  }
  ok = ok &&
      write_text(shell + "/modes/" + kShellMode + ".json",
                 R"({"parentMode": "user", "enabledExtensions": [)" + uuids + "]}\n") &&
      // The system bus, private and empty: no services, anyone may talk.
      write_text(*dir + "/system-bus.conf",
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig>\n"
                 "  <listen>unix:tmpdir=/tmp</listen>\n"  // replaced by --address
                 "  <auth>EXTERNAL</auth>\n"
                 "  <policy context=\"default\">\n"
                 "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                 "    <allow eavesdrop=\"true\"/>\n"
                 "    <allow own=\"*\"/>\n"
                 "  </policy>\n"
                 "</busconfig>\n");
  if (!ok) {
    fail("cannot write the shell's data");
    return std::nullopt;
  }
  return dir;
}

// Whether this GNOME Shell lists `option` in its --help: GNOME Shell 50
// dropped --sm-disable and its X11 back end (--x11) altogether.
bool shell_has_option(const std::string& option) {
  static std::optional<std::string> help;
  if (!help) {
    const char* argv[] = {"gnome-shell", "--help", nullptr};
    g_autofree char* out = nullptr;
    int status = 0;
    help = g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr,
                        static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                        nullptr, nullptr, &out, nullptr, &status, nullptr) && out != nullptr
               ? out
               : "";
  }
  // The option as a word of its own: "--x11" is not "--no-x11".
  for (size_t at = help->find(option); at != std::string::npos; at = help->find(option, at + 1)) {
    const size_t end = at + option.size();
    const bool starts = at > 0 && ((*help)[at - 1] == ' ' || (*help)[at - 1] == ',');
    const bool ends = end == help->size() || (*help)[end] == ' ' || (*help)[end] == '=' ||
                      (*help)[end] == '\n';
    if (starts && ends) return true;
  }
  return false;
}

// GNOME Shell: the headless Wayland compositor with Xwayland, or the X11
// window manager of the display in DISPLAY.
bool start_gnome_shell(bool wayland) {
  if (!wayland && !shell_has_option("--x11")) {
    fail("this GNOME Shell has no X11 back end (its --help lists no --x11)");
    return false;
  }
  auto data = make_shell_data();
  if (!data || !runtime_dir()) return false;
  if (!start_bus("system", "--config-file=" + *data + "/system-bus.conf",
                 "DBUS_SYSTEM_BUS_ADDRESS")) {
    return false;
  }
  const char* data_dirs = std::getenv("XDG_DATA_DIRS");
  std::vector<std::string> env = {
      "XDG_DATA_DIRS=" + *data + ":" +
          (data_dirs != nullptr && *data_dirs != '\0' ? data_dirs : "/usr/local/share:/usr/share"),
      // Nothing of the user's settings is read or written.
      "GSETTINGS_BACKEND=memory"};
  std::vector<std::string> argv = {"gnome-shell", std::string("--mode=") + kShellMode};
  // No session manager runs here; a shell that still connects to one by
  // default is told not to look for it.
  if (shell_has_option("--sm-disable")) argv.push_back("--sm-disable");
  const std::string socket_name = "with-display-" + run_name();
  if (wayland) {
    argv.insert(argv.end(), {"--wayland", "--headless", "--virtual-monitor", "1280x800",
                             "--wayland-display=" + socket_name});
  } else {
    argv.insert(argv.end(), {"--x11", "--replace"});
  }
  auto shell = spawn_server("gnome-shell", argv, -1, env);
  if (!shell || !wait_until(*shell, -1, [] {
        return shell_eval("global.context.unsafe_mode") == std::optional<std::string>("true");
      })) {
    return false;
  }
  if (!wayland) return true;
  // Its Xwayland, for X11 clients.
  auto answer = shell_eval(
      "['DISPLAY', 'XAUTHORITY'].map(name => imports.gi.GLib.getenv(name) || '')");
  g_autoptr(GVariant) values =
      answer ? g_variant_parse(nullptr, answer->c_str(), nullptr, nullptr, nullptr) : nullptr;
  // A JSON array of strings reads as a GVariant string array.
  const char* x_display = "";
  const char* x_authority = "";
  if (values != nullptr && g_variant_check_format_string(values, "as", FALSE) &&
      g_variant_n_children(values) == 2) {
    g_variant_get_child(values, 0, "&s", &x_display);
    g_variant_get_child(values, 1, "&s", &x_authority);
  }
  if (*x_display == '\0') {
    fail("gnome-shell did not name its Xwayland display");
    show_log(*shell);
    return false;
  }
  setenv("WAYLAND_DISPLAY", socket_name.c_str(), 1);
  setenv("GDK_BACKEND", "wayland", 1);
  setenv("DISPLAY", x_display, 1);
  setenv("XAUTHORITY", x_authority, 1);
  return true;
}

// ---- The command and the teardown -------------------------------------------

void pass_signal_on(int signal_number) {
  if (g_command_pid > 0) kill(static_cast<pid_t>(g_command_pid), signal_number);
}

int run_command(const std::vector<std::string>& command) {
  struct sigaction action {};
  action.sa_handler = pass_signal_on;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &action, nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : command) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "with_display: cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  if (pid < 0) return kSetupFailed;
  g_command_pid = pid;
  int status = 0;
  // Whatever else ends meanwhile is reaped too: a server, or a process that
  // one left behind (see stop_leftovers).
  for (;;) {
    int other = 0;
    pid_t ended = waitpid(-1, &other, 0);
    if (ended == pid) {
      status = other;
      break;
    }
    if (ended < 0 && errno != EINTR) {
      waitpid(pid, &status, 0);
      break;
    }
    for (Server& server : g_servers) server.reaped = server.reaped || server.pid == ended;
  }
  g_command_pid = 0;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

void stop_servers() {
  for (auto it = g_servers.rbegin(); it != g_servers.rend(); ++it) {
    if (it->reaped) continue;
    kill(it->pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(it->pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(it->pid, SIGKILL);
        waitpid(it->pid, &status, 0);
        break;
      }
      poll(nullptr, 0, 5);
    }
  }
  for (const Server& server : g_servers) close(server.log);
  g_servers.clear();
}

// This process's children, zombies included.
std::vector<pid_t> children() {
  std::vector<pid_t> pids;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
    FILE* file = std::fopen((task.path() / "children").c_str(), "re");
    if (file == nullptr) continue;
    long pid = 0;
    while (std::fscanf(file, "%ld", &pid) == 1) pids.push_back(static_cast<pid_t>(pid));
    std::fclose(file);
  }
  return pids;
}

// Ends the processes that the servers left behind (the shell's Xwayland,
// services its buses started), which came to this process as their
// subreaper: each by its own ID, SIGTERM first.
void stop_leftovers() {
  for (int round = 0; round < 5; ++round) {
    std::vector<pid_t> pids = children();
    if (pids.empty()) return;
    for (pid_t pid : pids) kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (pid_t pid : pids) {
      int status = 0;
      while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pid, SIGKILL);
          waitpid(pid, &status, 0);
          break;
        }
        poll(nullptr, 0, 5);
      }
    }
  }
}

std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.rfind("--", 0) != 0) break;
    if (arg == "--x11") {
      options.wayland = false;
    } else if (arg == "--wayland") {
      options.wayland = true;
    } else if (arg == "--wayland=gnome-shell") {
      options.wayland = true;
      options.gnome_shell = true;
    } else if (arg == "--wm=openbox") {
      options.openbox = true;
    } else if (arg == "--wm=gnome-shell") {
      options.gnome_shell = true;
    } else if (arg == "--xdg-tree") {
      options.xdg_tree = true;
    } else if (arg.rfind("--wm-name=", 0) == 0) {
      options.wm_name = arg.substr(std::strlen("--wm-name="));
    } else if (arg == "--compositor") {
      options.compositor = true;
    } else if (arg == "--no-session-bus") {
      options.session_bus = false;
    } else {
      fail("unknown option " + arg);
      return std::nullopt;
    }
  }
  for (; i < argc; ++i) options.command.emplace_back(argv[i]);
  if (options.command.empty()) {
    fail("no command given");
    return std::nullopt;
  }
  if (options.wayland && (options.openbox || options.wm_name || options.compositor)) {
    fail("--wm, --wm-name and --compositor are X11 options");
    return std::nullopt;
  }
  if (options.gnome_shell && (options.openbox || options.wm_name || options.compositor)) {
    fail("gnome-shell is the window and compositing manager itself");
    return std::nullopt;
  }
  if (options.gnome_shell && !options.session_bus) {
    // It would register on the caller's session.
    fail("gnome-shell needs the private session bus");
    return std::nullopt;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse_options(argc, argv);
  if (!options) return kSetupFailed;
  setenv("NO_AT_BRIDGE", "1", 0);

  // The shell and its Xwayland start processes of their own: they come to
  // this process when their parents go, and go with it.
  if (options->gnome_shell) prctl(PR_SET_CHILD_SUBREAPER, 1);

  Display* display = nullptr;
  bool ready = (!options->xdg_tree || make_xdg_tree()) &&
               (!options->session_bus || start_session_bus()) &&
               (!options->wayland  ? start_x11(*options, &display)
                : options->gnome_shell ? start_gnome_shell(true)
                                      : start_wayland());
  int status = ready ? run_command(options->command) : kSetupFailed;

  if (display != nullptr) XCloseDisplay(display);
  if (g_session_bus != nullptr) {
    g_dbus_connection_close_sync(g_session_bus, nullptr, nullptr);
    g_object_unref(g_session_bus);
  }
  stop_servers();
  stop_leftovers();
  std::error_code ignored;
  if (!g_runtime_dir.empty()) std::filesystem::remove_all(g_runtime_dir, ignored);
  for (const std::string& dir : g_made_dirs) std::filesystem::remove_all(dir, ignored);
  return status;
}
