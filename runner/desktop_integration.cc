#include "desktop_integration.h"

#include <fcntl.h>
#include <pthread.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "desktop_internal.h"

char* installed_entry = nullptr;
char* runtime_dir = nullptr;
char* instance_marker = nullptr;

namespace {

constexpr char kDesktopGroup[] = "Desktop Entry";
constexpr char kGeneratedKey[] = "X-Zemtra-Generated";
constexpr char kIconCopyName[] = "icon.png";

// Reads what is left of `fd`, which must be a regular file, and adds a NUL.
bool read_whole_regular_file(int fd, char** contents, gsize* length) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  g_autoptr(GByteArray) bytes = g_byte_array_new();
  guint8 buffer[8192];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n > 0) {
      g_byte_array_append(bytes, buffer, static_cast<guint>(n));
    } else if (errno != EINTR) {
      return false;
    }
  }
  *length = bytes->len;
  g_byte_array_append(bytes, reinterpret_cast<const guint8*>(""), 1);
  *contents = reinterpret_cast<char*>(g_byte_array_free(g_steal_pointer(&bytes), FALSE));
  return true;
}

// As g_file_get_contents, for regular files only. Opening a FIFO would wait
// for a writer and a device might never end, with the lock held and every
// other instance waiting for it; O_NONBLOCK keeps the open from waiting.
bool read_regular_file(const char* path, int extra_flags, char** contents, gsize* length) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | extra_flags);
  if (fd < 0) return false;
  const bool read = read_whole_regular_file(fd, contents, length);
  close(fd);
  return read;
}

// user_entry_owner, also telling the file's full length, so that an entry
// with bytes after a NUL is not taken for the text before it.
UserEntryOwner inspect_user_entry(const char* path, char** contents, gsize* length) {
  struct stat info;
  if (lstat(path, &info) != 0) {
    return errno == ENOENT ? UserEntryOwner::kAbsent : UserEntryOwner::kForeign;
  }
  if (!S_ISREG(info.st_mode)) return UserEntryOwner::kForeign;
  g_autofree char* text = nullptr;
  gsize size = 0;
  // Not following a link here either: the path may have changed since lstat.
  if (!read_regular_file(path, O_NOFOLLOW, &text, &size)) return UserEntryOwner::kForeign;
  g_autoptr(GKeyFile) key_file = g_key_file_new();
  if (!g_key_file_load_from_data(key_file, text, static_cast<gsize>(-1), G_KEY_FILE_NONE,
                                 nullptr) ||
      !g_key_file_has_key(key_file, kDesktopGroup, kGeneratedKey, nullptr)) {
    return UserEntryOwner::kForeign;
  }
  if (contents != nullptr) *contents = g_steal_pointer(&text);
  if (length != nullptr) *length = size;
  return UserEntryOwner::kOurs;
}

bool is_sandboxed() { return g_getenv("FLATPAK_ID") != nullptr || g_getenv("SNAP") != nullptr; }

// g_key_file_load_from_file without flags, for a regular file only.
bool load_key_file(GKeyFile* key_file, const char* path) {
  g_autofree char* text = nullptr;
  gsize length = 0;
  return read_regular_file(path, 0, &text, &length) &&
         g_key_file_load_from_data(key_file, text, length, G_KEY_FILE_NONE, nullptr);
}

// Loads the bundle's template entry: beside the executable first, then one
// level up. NULL when neither loads.
GKeyFile* load_template(const char* executable_dir, const char* entry_name,
                        char** template_path) {
  g_autoptr(GKeyFile) key_file = g_key_file_new();
  g_autofree char* first =
      g_build_filename(executable_dir, "share", "applications", entry_name, nullptr);
  if (load_key_file(key_file, first)) {
    *template_path = g_steal_pointer(&first);
    return static_cast<GKeyFile*>(g_steal_pointer(&key_file));
  }
  g_autofree char* second =
      g_build_filename(executable_dir, "..", "share", "applications", entry_name, nullptr);
  if (load_key_file(key_file, second)) {
    *template_path = g_steal_pointer(&second);
    return static_cast<GKeyFile*>(g_steal_pointer(&key_file));
  }
  return nullptr;
}

bool same_file(const char* a, const char* b) {
  struct stat info_a, info_b;
  return stat(a, &info_a) == 0 && stat(b, &info_b) == 0 && info_a.st_dev == info_b.st_dev &&
         info_a.st_ino == info_b.st_ino;
}

// True when the application is installed system-wide. An AppImage whose own
// data directory is among the system ones finds its template there, which
// does not count.
bool installed_system_wide(const char* entry_name, bool appimage_mode,
                           const char* template_path) {
  for (const char* const* dir = g_get_system_data_dirs(); *dir != nullptr; ++dir) {
    g_autofree char* system_entry = g_build_filename(*dir, "applications", entry_name, nullptr);
    if (!g_file_test(system_entry, G_FILE_TEST_EXISTS)) continue;
    if (!appimage_mode || !same_file(system_entry, template_path)) return true;
  }
  return false;
}

// Creates the runtime directory and this process's marker in it; the
// marker's path, or NULL when either could not be created.
char* write_instance_marker(const char* dir) {
  g_autofree char* pid = g_strdup_printf("%d", static_cast<int>(getpid()));
  g_autofree char* marker = g_build_filename(dir, pid, nullptr);
  if (g_mkdir_with_parents(dir, 0700) != 0) return nullptr;
  if (!g_file_set_contents(marker, "", 0, nullptr)) return nullptr;
  return static_cast<char*>(g_steal_pointer(&marker));
}

// Points "Icon" at a copy of the bundle icon in the runtime directory, which
// outlives a bundle that is moved or unmounted while the entry is in use.
void set_icon_key(GKeyFile* entry, const char* executable_dir, const char* dir) {
  g_autofree char* bundle_icon = g_build_filename(executable_dir, "data", "app_icon.png", nullptr);
  g_autofree char* bytes = nullptr;
  gsize length = 0;
  if (!read_regular_file(bundle_icon, 0, &bytes, &length)) return;
  g_autofree char* copy = g_build_filename(dir, kIconCopyName, nullptr);
  const bool copied = g_file_set_contents(copy, bytes, static_cast<gssize>(length), nullptr);
  g_key_file_set_string(entry, kDesktopGroup, "Icon", copied ? copy : bundle_icon);
}

// The entry's text for this instance.
char* render_entry(GKeyFile* entry, const char* launch_target, const char* executable_dir,
                   const char* dir) {
  g_autofree char* quoted = quote_exec_argument(launch_target);
  g_autofree char* exec = g_strconcat(quoted, " %U", nullptr);
  g_key_file_set_string(entry, kDesktopGroup, "Exec", exec);
  set_icon_key(entry, executable_dir, dir);
  g_key_file_set_boolean(entry, kDesktopGroup, "NoDisplay", TRUE);
  g_key_file_set_boolean(entry, kDesktopGroup, kGeneratedKey, TRUE);
  g_key_file_remove_comment(entry, nullptr, nullptr, nullptr);
  return g_key_file_to_data(entry, nullptr, nullptr);
}

bool entry_is_current(const char* text, const char* existing, gsize existing_length) {
  return existing != nullptr && std::strlen(existing) == existing_length &&
         g_strcmp0(text, existing) == 0;
}

bool write_entry(const char* path, const char* text) {
  g_autofree char* parent = g_path_get_dirname(path);
  if (g_mkdir_with_parents(parent, 0700) != 0) {
    const int saved_errno = errno;
    g_log(nullptr, G_LOG_LEVEL_WARNING, "Failed to install desktop entry %s: %s", path,
          g_strerror(saved_errno));
    return false;
  }
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(path, text, -1, &error)) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "Failed to install desktop entry %s: %s", path,
          error->message);
    return false;
  }
  return true;
}

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The process that made the installation. A child made by fork inherits the
// record but is no instance: the cleanup stays with the installing process.
pid_t installing_process = 0;

// GLib's handlers of the termination signals, once they are claimed.
struct sigaction glib_signal_actions[NSIG] = {};
// The termination signal that the application is ending by, from its arrival
// on: the main loop has yet to dispatch it.
volatile sig_atomic_t ending_by_signal = 0;

void take_default_action(int signum) {
  signal(signum, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signum);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signum);
}

// In a child made by fork there is no main loop to dispatch the claimed
// signals: GLib's handler would swallow them, and terminate() or Ctrl-C would
// no longer end the child. The fork handler below gives the child the default
// actions back, but a signal may come before it runs (a pool terminated as
// soon as it started its workers): this relay, the disposition in place of
// GLib's handler, takes the default action itself outside the installing
// process. getpid is a system call, safe in a handler.
void relay_termination_signal(int signum, siginfo_t* info, void* context) {
  if (getpid() == installing_process) {
    ending_by_signal = signum;
    const struct sigaction& glib = glib_signal_actions[signum];
    if ((glib.sa_flags & SA_SIGINFO) != 0) {
      glib.sa_sigaction(signum, info, context);
    } else if (glib.sa_handler != SIG_DFL && glib.sa_handler != SIG_IGN) {
      glib.sa_handler(signum);
    }
    return;
  }
  take_default_action(signum);
}

bool is_relay(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == relay_termination_signal;
}

// The child gets the default actions back, unless the program has put
// handlers of its own in place meanwhile. A child made after the signal that
// ends the application came (a pool replacing the workers that Ctrl-C ended)
// ends by it too, as if it had been there to get it: nothing else would end
// it once the application is gone.
void release_claims_in_child() {
  for (const int signum : kTerminationSignals) {
    struct sigaction current {};
    if (sigaction(signum, nullptr, &current) == 0 && is_relay(current)) {
      signal(signum, SIG_DFL);
    }
  }
  if (ending_by_signal != 0) take_default_action(ending_by_signal);
}

bool is_ignored(int signum) {
  struct sigaction current {};
  return sigaction(signum, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == SIG_IGN;
}

// GLib's handler stays what the relay calls; the relay keeps GLib's flags
// and mask.
void put_relay_in_place(int signum) {
  struct sigaction& glib = glib_signal_actions[signum];
  if (sigaction(signum, nullptr, &glib) != 0) return;
  struct sigaction relay = glib;
  relay.sa_sigaction = relay_termination_signal;
  relay.sa_flags |= SA_SIGINFO;
  sigaction(signum, &relay, nullptr);
}

// A signal that the process was started with ignored stays ignored, as
// nohup and a shell's background jobs want it (SIGHUP, SIGINT).
void claim_termination_signals() {
  bool claimed = false;
  for (const int signum : kTerminationSignals) {
    if (is_ignored(signum)) continue;
    g_unix_signal_add(signum, on_terminate_signal, GINT_TO_POINTER(signum));
    put_relay_in_place(signum);
    claimed = true;
  }
  if (claimed) pthread_atfork(nullptr, nullptr, release_claims_in_child);
}

// Takes ownership of the three paths and arranges for the cleanup.
void record_installation(char* entry_path, char* dir, char* marker) {
  installing_process = getpid();
  installed_entry = entry_path;
  runtime_dir = dir;
  instance_marker = marker;
  std::atexit(remove_desktop_entry);
  claim_termination_signals();
}

// The installation's steps that run under the lock; takes `dir_owned`.
void install_locked(const char* executable_path, const char* launch_target, bool appimage_mode,
                    char* dir_owned) {
  g_autofree char* dir = dir_owned;
  g_autofree char* entry_name = g_strconcat(APPLICATION_ID, ".desktop", nullptr);
  g_autofree char* entry_path =
      g_build_filename(g_get_user_data_dir(), "applications", entry_name, nullptr);
  g_autofree char* existing = nullptr;
  gsize existing_length = 0;
  const UserEntryOwner owner = inspect_user_entry(entry_path, &existing, &existing_length);
  if (owner == UserEntryOwner::kForeign) return;

  g_autofree char* executable_dir = g_path_get_dirname(executable_path);
  g_autofree char* template_path = nullptr;
  g_autoptr(GKeyFile) entry = load_template(executable_dir, entry_name, &template_path);
  if (entry == nullptr) return;
  if (installed_system_wide(entry_name, appimage_mode, template_path)) {
    if (owner == UserEntryOwner::kOurs) std::remove(entry_path);
    return;
  }

  g_autofree char* marker = write_instance_marker(dir);
  if (marker == nullptr) return;
  g_autofree char* text = render_entry(entry, launch_target, executable_dir, dir);
  if (!entry_is_current(text, existing, existing_length) && !write_entry(entry_path, text)) {
    std::remove(marker);
    return;
  }
  record_installation(static_cast<char*>(g_steal_pointer(&entry_path)),
                      static_cast<char*>(g_steal_pointer(&dir)),
                      static_cast<char*>(g_steal_pointer(&marker)));
}

// A marker's process ID, or 0 when `name` is no marker of another process.
// Values past the range of a process ID would wrap into process groups.
pid_t marker_pid(const char* name) {
  char* end = nullptr;
  const gint64 value = g_ascii_strtoll(name, &end, 10);
  if (end == name || *end != '\0' || value < 1 || value > G_MAXINT32) return 0;
  const pid_t pid = static_cast<pid_t>(value);
  return pid == getpid() ? 0 : pid;
}

bool process_exists(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// Removes the markers of processes that have ended; true when another
// instance is still alive. An unreadable directory counts as none alive.
bool prune_markers(const char* dir) {
  g_autoptr(GDir) listing = g_dir_open(dir, 0, nullptr);
  if (listing == nullptr) return false;
  bool other_alive = false;
  while (const char* name = g_dir_read_name(listing)) {
    const pid_t pid = marker_pid(name);
    if (pid == 0) continue;
    if (process_exists(pid)) {
      other_alive = true;
      continue;
    }
    g_autofree char* stale = g_build_filename(dir, name, nullptr);
    std::remove(stale);
  }
  return other_alive;
}

void remove_shared_files() {
  if (user_entry_owner(installed_entry, nullptr) == UserEntryOwner::kOurs) {
    std::remove(installed_entry);
  }
  g_autofree char* icon_copy = g_build_filename(runtime_dir, kIconCopyName, nullptr);
  std::remove(icon_copy);
  g_rmdir(runtime_dir);
}

}  // namespace

DesktopEntryLock::DesktopEntryLock(const char* dir) : fd_(-1) {
  g_autofree char* base = g_path_get_dirname(dir);
  if (g_mkdir_with_parents(base, 0700) != 0) return;
  g_autofree char* lock_path = g_strconcat(dir, ".lock", nullptr);
  const int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return;
    }
  }
  fd_ = fd;
}

DesktopEntryLock::~DesktopEntryLock() {
  if (fd_ >= 0) close(fd_);
}

UserEntryOwner user_entry_owner(const char* path, char** contents) {
  return inspect_user_entry(path, contents, nullptr);
}

char* quote_exec_argument(const char* argument) {
  GString* quoted = g_string_new("\"");
  for (const char* byte = argument; *byte != '\0'; ++byte) {
    if (std::strchr("\"$\\`", *byte) != nullptr) g_string_append_c(quoted, '\\');
    g_string_append_c(quoted, *byte);
  }
  g_string_append_c(quoted, '"');
  return g_string_free(quoted, FALSE);
}

char* desktop_runtime_dir_path() {
  return g_build_filename(g_get_user_runtime_dir(), "zemtra", APPLICATION_ID, nullptr);
}

void install_desktop_entry(const char* executable_path) {
  if (is_sandboxed()) return;
  const char* appimage = g_getenv("APPIMAGE");
  const bool appimage_mode = appimage != nullptr && appimage[0] != '\0';
  const char* launch_target = appimage_mode ? appimage : executable_path;
  // A '%' would be read as a field code of the "Exec" key, and a path that
  // is not UTF-8 makes an entry that key-file readers refuse to read.
  if (std::strchr(launch_target, '%') != nullptr || !g_utf8_validate(launch_target, -1, nullptr)) {
    return;
  }

  g_autofree char* dir = desktop_runtime_dir_path();
  DesktopEntryLock lock(dir);
  if (!lock.held()) return;
  install_locked(executable_path, launch_target, appimage_mode,
                 static_cast<char*>(g_steal_pointer(&dir)));
}

void remove_desktop_entry() {
  if (instance_marker == nullptr || getpid() != installing_process) return;
  DesktopEntryLock lock(runtime_dir);
  if (!lock.held()) return;
  std::remove(instance_marker);
  if (!prune_markers(runtime_dir)) remove_shared_files();
  g_clear_pointer(&instance_marker, g_free);
  g_clear_pointer(&installed_entry, g_free);
  g_clear_pointer(&runtime_dir, g_free);
}

gboolean on_terminate_signal(gpointer user_data) {
  const int signum = GPOINTER_TO_INT(user_data);
  remove_desktop_entry();
  // What the program printed last must not be lost with the buffers: its
  // output often goes to a file or the journal.
  std::fflush(stdout);
  std::fflush(stderr);
  // The default action ends the process by this very signal, so whoever
  // waits for it sees why it ended.
  take_default_action(signum);
  return G_SOURCE_REMOVE;
}
