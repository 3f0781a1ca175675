// with_display: runs one command against a display server of its own, and
// tears everything down afterwards.
//
//   with_display [OPTION...] [--] COMMAND [ARG...]
//
//   --x11            Xvfb on a free display number (the default); DISPLAY is
//                    set, WAYLAND_DISPLAY removed.
//   --wayland        weston's headless backend instead; WAYLAND_DISPLAY and
//                    GDK_BACKEND=wayland are set, DISPLAY is removed.
//   --wm=openbox     X11: start openbox and wait until it manages the screen.
//   --wm-name=NAME   X11: pose as a window manager called NAME, e.g.
//                    --wm-name="GNOME Shell": the EWMH check window
//                    (_NET_SUPPORTING_WM_CHECK with _NET_WM_NAME), nothing else.
//   --compositor     X11: start xcompmgr and wait until it owns the screen's
//                    compositing-manager selection.
//   --no-session-bus Keep the caller's D-Bus session bus. By default the
//                    command gets a private one (DBUS_SESSION_BUS_ADDRESS), so
//                    that nothing reaches the user's own session.
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

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kSetupFailed = 125;
constexpr auto kStartDeadline = std::chrono::seconds(30);

struct Options {
  bool wayland = false;
  bool openbox = false;
  std::optional<std::string> wm_name;
  bool compositor = false;
  bool session_bus = true;
  std::vector<std::string> command;
};

struct Server {
  std::string name;
  pid_t pid = -1;
  int log = -1;  // an anonymous file: nothing is left behind, even after SIGKILL
};

std::vector<Server> g_servers;
std::string g_runtime_dir;  // made for the run when the caller had none
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

bool exited(const Server& server) {
  int status = 0;
  return waitpid(server.pid, &status, WNOHANG) == server.pid;
}

// Starts a server with its output in a log of its own. `keep_fd` stays open
// in it (for -displayfd and --print-address); nothing else of ours does.
std::optional<Server> spawn_server(const std::string& name, const std::vector<std::string>& argv,
                                   int keep_fd = -1) {
  int log = open(temp_dir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (log < 0 || null < 0) {
    fail("cannot make a log for " + name);
    return std::nullopt;
  }
  Server server{name, -1, log};
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
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
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  close(null);
  if (pid < 0) {
    close(log);
    return std::nullopt;
  }
  server.pid = pid;
  g_servers.push_back(server);
  return server;
}

// Waits until `ready` holds, re-checking whenever `fd` becomes readable (the
// event source) and at short intervals otherwise; gives up when the server
// ends or the deadline passes.
bool wait_until(const Server& server, int fd, const std::function<bool()>& ready) {
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
std::optional<std::string> read_line_from(const Server& server, int fd) {
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

bool start_wayland() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string runtime_dir;
  if (runtime != nullptr && *runtime != '\0') {
    runtime_dir = runtime;
  } else {
    std::string pattern = temp_dir() + "/with_display.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      fail("cannot make a runtime directory");
      return false;
    }
    g_runtime_dir = runtime_dir = pattern;
    setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
  }
  std::string socket_name = "with-display-" + std::to_string(getpid());
  auto server = spawn_server("weston", {"weston", "--backend=headless-backend.so",
                                        "--socket=" + socket_name, "--idle-time=0", "--no-config"});
  std::string path = runtime_dir + "/" + socket_name;
  if (!server || !wait_until(*server, -1, [&] { return accepts_connections(path); })) return false;
  setenv("WAYLAND_DISPLAY", socket_name.c_str(), 1);
  setenv("GDK_BACKEND", "wayland", 1);
  unsetenv("DISPLAY");
  return true;
}

// ---- D-Bus ------------------------------------------------------------------

bool start_session_bus() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // An abstract socket: it goes with the daemon, also when a killed test
  // takes the daemon with it.
  std::string address = "unix:abstract=with-display-" + std::to_string(getpid());
  auto server = spawn_server("dbus-daemon",
                             {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                              "--address=" + address, "--print-address=" + std::to_string(fds[1])},
                             fds[1]);
  close(fds[1]);
  std::optional<std::string> printed;
  if (server) printed = read_line_from(*server, fds[0]);
  close(fds[0]);
  if (!printed) return false;
  setenv("DBUS_SESSION_BUS_ADDRESS", printed->c_str(), 1);
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
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  g_command_pid = 0;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

void stop_servers() {
  for (auto it = g_servers.rbegin(); it != g_servers.rend(); ++it) {
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
    } else if (arg == "--wm=openbox") {
      options.openbox = true;
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
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parse_options(argc, argv);
  if (!options) return kSetupFailed;
  setenv("NO_AT_BRIDGE", "1", 0);

  Display* display = nullptr;
  bool ready = (!options->session_bus || start_session_bus()) &&
               (options->wayland ? start_wayland() : start_x11(*options, &display));
  int status = ready ? run_command(options->command) : kSetupFailed;

  if (display != nullptr) XCloseDisplay(display);
  stop_servers();
  if (!g_runtime_dir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(g_runtime_dir, ignored);
  }
  return status;
}
