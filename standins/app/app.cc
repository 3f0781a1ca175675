// The stand-in application: what the application's Dart code does with
// libnorvale. It starts the bundle's Python program on a worker thread,
// shows what the program sends, passes the user's input back, and closes
// the window when the program ends. Test equipment and demo host: it takes
// its input from the user, from a script (NORVALE_APP_SCRIPT) and from a
// control descriptor (NORVALE_APP_CONTROL_FD), and records what it did in
// the stand-in trace and a transcript (NORVALE_APP_TRANSCRIPT).

#include <dlfcn.h>
#include <glib-unix.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app_ui.h"
#include "bridge_api.h"
#include "dart_native_api.h"
#include "dart_vm_standin.h"
#include "message_format.h"
#include "standin_app.h"
#include "standin_trace.h"

namespace standin_app {

namespace {

// One Dart VM session's ports for the program.
struct Session {
  int number;
  Dart_Port port;       // what the program sends arrives here
  Dart_Port exit_port;  // the run's result arrives here
  bool owns_program;    // its request started the program (else: handed over)
};

// What came in on a VM thread, on its way to the main thread.
struct Arrival {
  Dart_Port port;
  bool is_exit;
  int64_t result;     // is_exit
  std::string bytes;  // otherwise
};

// A message on its way to the program, delivered on the sender thread, as
// the Dart side calls the bridge from its own thread, never from GTK's.
struct Delivery {
  int session;
  Dart_Port port;
  Message message;
};

struct App {
  BridgeApi bridge{};
  std::unique_ptr<AppUi> ui;
  std::vector<Session> sessions;
  GThreadPool* sender = nullptr;
  std::string bundle_root;
  bool bundle_has_python = false;
  std::string bundle_site_packages;
  std::string program;
  FILE* transcript = nullptr;
  // Script and control steps not yet run; a step that waits holds the rest.
  std::deque<std::string> steps;
  std::string awaited_kind;  // non-empty while an "await" waits
  bool screenshot_pending = false;
  std::string control_buffer;
};

App& app() {
  static App* instance = new App;  // lives as long as the process
  return *instance;
}

// ---- Records ------------------------------------------------------------------

// "VALUE..." quoted for the trace.
std::string quoted_fields(const Message& message) {
  std::string out;
  for (const std::string& field : message) {
    g_autofree gchar* quoted = standin_trace_quote(field.c_str());
    out += (out.empty() ? "" : " ") + std::string(quoted);
  }
  return out;
}

void transcribe(const char* format, ...) G_GNUC_PRINTF(1, 2);
void transcribe(const char* format, ...) {
  FILE* out = app().transcript;
  if (out == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(out, format, arguments);
  va_end(arguments);
  std::fputc('\n', out);
  std::fflush(out);
}

void open_transcript() {
  const char* path = g_getenv("NORVALE_APP_TRANSCRIPT");
  if (path == nullptr || *path == '\0') return;
  app().transcript = std::fopen(path, "we");
  if (app().transcript == nullptr) g_warning("Cannot write the transcript %s", path);
}

void fail(const std::string& reason) {
  g_autofree gchar* quoted = standin_trace_quote(reason.c_str());
  standin_trace("app-error", "%s", quoted);
  g_warning("%s", reason.c_str());
}

// ---- VM threads -> main thread ---------------------------------------------------

void run_steps();
void on_arrival(const Arrival& arrival);

gboolean dispatch_arrival(gpointer data) {
  std::unique_ptr<Arrival> arrival(static_cast<Arrival*>(data));
  on_arrival(*arrival);
  return G_SOURCE_REMOVE;
}

void hand_to_main_thread(Arrival* arrival) {
  g_idle_add_full(G_PRIORITY_DEFAULT, dispatch_arrival, arrival, nullptr);
}

// Port handlers run on VM threads: copy, and let the main thread look.
void on_message_port(Dart_Port port, Dart_CObject* object) {
  if (object->type != Dart_CObject_kTypedData ||
      object->value.as_typed_data.type != Dart_TypedData_kUint8) {
    return;
  }
  const auto& data = object->value.as_typed_data;
  auto* arrival = new Arrival{port, false, 0, {}};
  arrival->bytes.assign(reinterpret_cast<const char*>(data.values),
                        static_cast<size_t>(data.length));
  hand_to_main_thread(arrival);
}

void on_exit_port(Dart_Port port, Dart_CObject* object) {
  int64_t result = object->type == Dart_CObject_kInt64   ? object->value.as_int64
                   : object->type == Dart_CObject_kInt32 ? object->value.as_int32
                                                         : -1;
  hand_to_main_thread(new Arrival{port, true, result, {}});
}

// ---- Sending ---------------------------------------------------------------------------

void deliver(gpointer data, gpointer) {
  std::unique_ptr<Delivery> delivery(static_cast<Delivery*>(data));
  const std::string bytes = encode_message(delivery->message);
  int result = app().bridge.enqueue_message(
      delivery->port, reinterpret_cast<const uint8_t*>(bytes.data()),
      static_cast<int64_t>(bytes.size()));
  standin_trace("app-sent", "%d %d %s", delivery->session, result,
                quoted_fields(delivery->message).c_str());
}

// Sends to the newest session's port: that is where the program listens.
void send_to_program(Message message) {
  if (app().sessions.empty()) return;
  const Session& session = app().sessions.back();
  transcribe("[session %d] dart -> python  %s", session.number,
             encode_message(message).c_str());
  g_thread_pool_push(app().sender, new Delivery{session.number, session.port, std::move(message)},
                     nullptr);
}

void on_click(const std::string& name) { send_to_program({"click", name}); }

// ---- Sessions ----------------------------------------------------------------------------

std::string program_path() {
  const char* chosen = g_getenv("NORVALE_APP_PROGRAM");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  g_autofree gchar* path = g_build_filename(app().bundle_root.c_str(), "share", "norvale",
                                            "program", "main.py", nullptr);
  return path;
}

// Starts the program, or hands a running one the new session's ports.
void start_session() {
  App& a = app();
  const bool reuse = a.bridge.is_python_initialized() != 0;
  Session session{static_cast<int>(a.sessions.size()) + 1,
                  Dart_NewNativePort("norvale-messages", on_message_port, false),
                  Dart_NewNativePort("norvale-exit", on_exit_port, false), !reuse};
  a.sessions.push_back(session);

  g_autofree gchar* module_dir = g_path_get_dirname(a.program.c_str());
  const std::string port = std::to_string(session.port);
  const std::string exit_port = std::to_string(session.exit_port);
  // On the distribution's CPython, whose site does not know the bundle, the
  // program's packages are a module path of their own (a site directory).
  const char* module_paths[] = {
      module_dir,
      !a.bundle_has_python && !a.bundle_site_packages.empty() ? a.bundle_site_packages.c_str()
                                                              : nullptr,
      nullptr};
  // PYTHONHOME at the bundle's own interpreter, where it has one; on the
  // distribution's (the Debian package built against it) CPython finds its
  // home by itself.
  const char* names[] = {"ZEMTRA_NORVALE_PORT", "ZEMTRA_NORVALE_EXIT_PORT",
                         a.bundle_has_python ? "PYTHONHOME" : nullptr, nullptr};
  const char* values[] = {port.c_str(), exit_port.c_str(), a.bundle_root.c_str(), nullptr};
  kestrune_run_config config{};
  config.mode = 0;
  config.script_path = a.program.c_str();
  config.program_name = a.program.c_str();
  config.module_paths = module_paths;
  config.env_names = names;
  config.env_values = values;
  config.synchronous = 0;
  config.exit_port = session.exit_port;
  const int32_t status = a.bridge.run(&config);
  standin_trace("app-session", "%d %lld %lld %s %d", session.number,
                static_cast<long long>(session.port), static_cast<long long>(session.exit_port),
                reuse ? "reuse" : "start", status);
  transcribe("[session %d] started (%s): port %s, exit port %s", session.number,
             reuse ? "handed to the running program" : "program started", port.c_str(),
             exit_port.c_str());
  if (status != 0) fail("kestrune_run refused the run request");
}

const Session* session_of(Dart_Port port) {
  for (const Session& session : app().sessions) {
    if (session.port == port || session.exit_port == port) return &session;
  }
  return nullptr;
}

// ---- What arrives ----------------------------------------------------------------------

gboolean close_window_now(gpointer) {
  standin_trace_event("app-window-close");
  if (app().ui) app().ui->close_window();
  return G_SOURCE_REMOVE;
}

// The program's exit status becomes the application's, as python3's is its
// process's: the window goes, then the process ends with the status, as
// Dart's exit() ends it (the desktop entry's cleanup is an exit handler).
gboolean end_with_status(gpointer data) {
  close_window_now(nullptr);
  std::fflush(stdout);
  std::exit(GPOINTER_TO_INT(data));
}

void on_program_end(const Session& session, int64_t result) {
  standin_trace("app-program-ended", "%d %lld", session.number, static_cast<long long>(result));
  transcribe("[session %d] the program ended with result %lld", session.number,
             static_cast<long long>(result));
  // After what is already queued, so that the program's last messages show.
  if (result == 0) {
    g_idle_add_full(G_PRIORITY_LOW, close_window_now, nullptr, nullptr);
    return;
  }
  g_idle_add_full(G_PRIORITY_LOW, end_with_status, GINT_TO_POINTER(static_cast<int>(result)),
                  nullptr);
}

void on_exit_message(const Session& session, int64_t result) {
  standin_trace("app-exit", "%d %lld", session.number, static_cast<long long>(result));
  if (session.owns_program) {
    on_program_end(session, result);
  } else {
    transcribe("[session %d] exit port: %lld (the running program has the new ports)",
               session.number, static_cast<long long>(result));
  }
}

void show_message(const Message& message) {
  AppUi& ui = *app().ui;
  const std::string& kind = message[0];
  auto argument = [&](size_t i) { return i < message.size() ? message[i] : std::string(); };
  if (kind == "ready") {
    ui.set_title(argument(1));
    ui.show_window();
    standin_trace_event("app-window-shown");
  } else if (kind == "show") {
    ui.show_field(argument(1), argument(2));
  } else if (kind == "button") {
    ui.add_button(argument(1), argument(2));
  }
}

void on_program_message(const Session& session, const std::string& bytes) {
  auto message = decode_message(bytes);
  if (!message) {
    standin_trace("app-received", "%d malformed %zu", session.number, bytes.size());
    transcribe("[session %d] python -> dart  (malformed, %zu bytes)", session.number,
               bytes.size());
    return;
  }
  standin_trace("app-received", "%d %s", session.number, quoted_fields(*message).c_str());
  transcribe("[session %d] python -> dart  %s", session.number, bytes.c_str());
  show_message(*message);
  if (!app().awaited_kind.empty() && app().awaited_kind == (*message)[0]) {
    app().awaited_kind.clear();
    run_steps();
  }
}

void on_arrival(const Arrival& arrival) {
  const Session* session = session_of(arrival.port);
  if (session == nullptr) return;
  if (arrival.is_exit) {
    on_exit_message(*session, arrival.result);
  } else {
    on_program_message(*session, arrival.bytes);
  }
}

// ---- Screenshots -----------------------------------------------------------------------

// The whole screen, as `import -window root` takes it.
void save_screen(const std::string& path) {
  GdkWindow* root = gdk_get_default_root_window();
  gdk_display_sync(gdk_window_get_display(root));
  const int width = gdk_window_get_width(root);
  const int height = gdk_window_get_height(root);
  g_autoptr(GdkPixbuf) pixels = gdk_pixbuf_get_from_window(root, 0, 0, width, height);
  g_autoptr(GError) error = nullptr;
  g_autofree gchar* quoted = standin_trace_quote(path.c_str());
  if (pixels == nullptr || !gdk_pixbuf_save(pixels, path.c_str(), "png", &error, nullptr)) {
    fail("cannot save the screenshot " + path + ": " +
         (error != nullptr ? error->message : "no image of the screen"));
    return;
  }
  standin_trace("app-screenshot", "%s %d %d", quoted, width, height);
}

struct PendingScreenshot {
  std::string path;
  gulong handler = 0;
  GdkFrameClock* clock = nullptr;
};

gboolean take_screenshot(gpointer data) {
  std::unique_ptr<PendingScreenshot> pending(static_cast<PendingScreenshot*>(data));
  save_screen(pending->path);
  app().screenshot_pending = false;
  run_steps();
  return G_SOURCE_REMOVE;
}

void on_after_paint(GdkFrameClock* clock, gpointer data) {
  auto* pending = static_cast<PendingScreenshot*>(data);
  g_signal_handler_disconnect(clock, pending->handler);
  g_idle_add(take_screenshot, pending);
}

// Waits for the window's next frame to be painted, then takes the picture.
void screenshot_after_next_frame(const std::string& path) {
  GtkWindow* window = app().ui->toplevel();
  GdkFrameClock* clock =
      window != nullptr ? gtk_widget_get_frame_clock(GTK_WIDGET(window)) : nullptr;
  if (clock == nullptr) {
    save_screen(path);
    return;
  }
  auto* pending = new PendingScreenshot{path, 0, clock};
  pending->handler = g_signal_connect(clock, "after-paint", G_CALLBACK(on_after_paint), pending);
  app().screenshot_pending = true;
  gtk_widget_queue_draw(GTK_WIDGET(window));
}

// ---- Script and control steps --------------------------------------------------------

// Runs one step; the steps after a waiting one run when the wait ends.
//   await KIND        until the program next sends a message of KIND
//   click NAME        presses the program's button NAME
//   send MESSAGE      sends MESSAGE (wire format: fields separated by TAB)
//   restart           starts a second session while the program runs
//   screenshot PATH   saves the screen once the window's next frame is painted
//   close             closes the window, as the user does
void run_step(const std::string& step) {
  const size_t blank = step.find(' ');
  const std::string verb = step.substr(0, blank);
  const std::string rest = blank == std::string::npos ? "" : step.substr(blank + 1);
  g_autofree gchar* quoted = standin_trace_quote(step.c_str());
  standin_trace("app-step", "%s", quoted);
  if (verb == "await") {
    app().awaited_kind = rest;
  } else if (verb == "click") {
    if (!app().ui->click(rest)) fail("no button " + rest);
  } else if (verb == "send") {
    auto message = decode_message(rest);
    if (message) {
      send_to_program(std::move(*message));
    } else {
      fail("not a message: " + rest);
    }
  } else if (verb == "restart") {
    start_session();
  } else if (verb == "screenshot") {
    screenshot_after_next_frame(rest);
  } else if (verb == "close") {
    close_window_now(nullptr);
  } else {
    fail("unknown step " + step);
  }
}

void run_steps() {
  App& a = app();
  while (a.awaited_kind.empty() && !a.screenshot_pending && !a.steps.empty()) {
    std::string step = std::move(a.steps.front());
    a.steps.pop_front();
    run_step(step);
  }
}

void add_steps(const std::string& text, const char* separators) {
  g_auto(GStrv) parts = g_strsplit_set(text.c_str(), separators, -1);
  for (char** part = parts; *part != nullptr; ++part) {
    g_autofree gchar* step = g_strstrip(g_strdup(*part));
    if (*step != '\0') app().steps.emplace_back(step);
  }
}

gboolean control_readable(gint fd, GIOCondition, gpointer) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return G_SOURCE_REMOVE;  // the controller is done
  std::string& pending = app().control_buffer;
  pending.append(buffer, static_cast<size_t>(n));
  const size_t last_line_end = pending.rfind('\n');
  if (last_line_end == std::string::npos) return G_SOURCE_CONTINUE;
  // Lines are steps as they are: a TAB inside belongs to a message.
  std::string lines = pending.substr(0, last_line_end);
  pending.erase(0, last_line_end + 1);
  add_steps(lines, "\n");
  run_steps();
  return G_SOURCE_CONTINUE;
}

void take_steps_from_environment() {
  const char* script = g_getenv("NORVALE_APP_SCRIPT");
  if (script != nullptr) add_steps(script, ";\n");
  const char* control = g_getenv("NORVALE_APP_CONTROL_FD");
  if (control != nullptr && *control != '\0') {
    const int fd = static_cast<int>(g_ascii_strtoll(control, nullptr, 10));
    g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), control_readable,
                  nullptr);
  }
}

// ---- Ctrl-C ----------------------------------------------------------------------------

gboolean end_by_interrupt(gpointer) {
  standin_trace_event("app-interrupted");
  std::fflush(stdout);
  std::fflush(stderr);
  signal(SIGINT, SIG_DFL);
  raise(SIGINT);
  return G_SOURCE_REMOVE;
}

// CPython takes SIGINT for its KeyboardInterrupt wherever nobody has claimed
// it when the interpreter starts. Then Ctrl-C no longer ends the process,
// and it only reaches the program once its main thread runs again: a
// program that waits for the user's next input does not notice it at all.
// Where runner has not claimed SIGINT (it does while it keeps its desktop
// entry), the application claims it, so that Ctrl-C ends the process as it
// would without Python.
// A child made by fork has no main loop to dispatch the claim: there Ctrl-C
// takes its default action again, unless the program has a handler of its own.
struct sigaction claimed_interrupt {};

void release_interrupt_in_child() {
  struct sigaction current {};
  if (sigaction(SIGINT, nullptr, &current) == 0 &&
      current.sa_sigaction == claimed_interrupt.sa_sigaction) {
    signal(SIGINT, SIG_DFL);
  }
}

void keep_interrupt_ending_the_process() {
  struct sigaction current {};
  if (sigaction(SIGINT, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
  g_unix_signal_add(SIGINT, end_by_interrupt, nullptr);
  sigaction(SIGINT, nullptr, &claimed_interrupt);
  pthread_atfork(nullptr, nullptr, release_interrupt_in_child);
}

// ---- Start ----------------------------------------------------------------------------

// The bundle's root: the parent of the lib directory this library is in.
std::string find_bundle_root() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&find_bundle_root), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "";
  }
  g_autofree gchar* library_path = g_canonicalize_filename(info.dli_fname, nullptr);
  g_autofree gchar* lib_dir = g_path_get_dirname(library_path);
  g_autofree gchar* root = g_path_get_dirname(lib_dir);
  return root;
}

// Whether the bundle carries its interpreter's standard library
// (lib/python3.X/os.py or lib/python3X.zip); `site_packages` is set to its
// lib/python3.X/site-packages where that exists (the program's packages).
bool bundle_has_python(const std::string& root, std::string* site_packages) {
  g_autofree gchar* lib = g_build_filename(root.c_str(), "lib", nullptr);
  g_autoptr(GDir) dir = g_dir_open(lib, 0, nullptr);
  bool has = false;
  for (const char* name; dir != nullptr && (name = g_dir_read_name(dir)) != nullptr;) {
    if (!g_str_has_prefix(name, "python3")) continue;
    g_autofree gchar* path = g_build_filename(lib, name, nullptr);
    g_autofree gchar* os_py = g_build_filename(path, "os.py", nullptr);
    g_autofree gchar* site = g_build_filename(path, "site-packages", nullptr);
    has = has || g_str_has_suffix(name, ".zip") || g_file_test(os_py, G_FILE_TEST_EXISTS);
    if (g_file_test(site, G_FILE_TEST_IS_DIR)) *site_packages = site;
  }
  return has;
}

void trace_start(char** arguments) {
  std::string quoted;
  for (char** arg = arguments; arg != nullptr && *arg != nullptr; ++arg) {
    g_autofree gchar* one = standin_trace_quote(*arg);
    quoted += " " + std::string(one);
  }
  standin_trace("app-start", "%d%s", static_cast<int>(getpid()), quoted.c_str());
}

gboolean on_window_mapped(GtkWidget*, GdkEvent*, gpointer) {
  standin_trace_event("app-window-mapped");
  return FALSE;
}

void start(GtkWidget* view, char** arguments) {
  App& a = app();
  trace_start(arguments);
  open_transcript();
  a.ui = std::make_unique<AppUi>(view, on_click);
  if (GtkWindow* window = a.ui->toplevel()) {
    g_signal_connect(window, "map-event", G_CALLBACK(on_window_mapped), nullptr);
  }
  a.sender = g_thread_pool_new(deliver, nullptr, 1, TRUE, nullptr);

  std::string error;
  auto bridge = open_bridge(&error);
  if (!bridge) {
    fail(error);
    return;
  }
  a.bridge = *bridge;
  if (a.bridge.init_dart_api_dl(standin_dart_vm_api_dl_data()) != 0) {
    fail("the Dart API did not bind");
    return;
  }
  a.bundle_root = find_bundle_root();
  a.bundle_has_python = bundle_has_python(a.bundle_root, &a.bundle_site_packages);
  a.program = program_path();
  keep_interrupt_ending_the_process();
  start_session();
  take_steps_from_environment();
  run_steps();
}

}  // namespace

}  // namespace standin_app

void standin_app_main(GtkWidget* view, char** arguments) { standin_app::start(view, arguments); }
