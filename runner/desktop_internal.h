#ifndef RUNNER_DESKTOP_INTERNAL_H_
#define RUNNER_DESKTOP_INTERNAL_H_

// The pieces of the desktop integration below install_desktop_entry and
// remove_desktop_entry, declared for their tests.

#include <glib.h>

// An exclusive advisory lock on the lock file beside a runtime directory,
// shared by every process of the user; held from construction until the
// object goes out of scope. Never construct a second one in the same process
// while one is alive: it would wait for ever.
class DesktopEntryLock {
 public:
  // Takes the lock for `runtime_dir` (the directory, not the lock file),
  // waiting while another process holds it. Creates the base directory and
  // the lock file as needed; never logs.
  explicit DesktopEntryLock(const char* runtime_dir);
  ~DesktopEntryLock();

  DesktopEntryLock(const DesktopEntryLock&) = delete;
  DesktopEntryLock& operator=(const DesktopEntryLock&) = delete;

  // True when the lock is held.
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;  // open lock file while the lock is held, else -1
};

// Who the file at the per-user entry path belongs to.
enum class UserEntryOwner { kAbsent = 0, kOurs = 1, kForeign = 2 };

// Classifies the file at `path` without following a symbolic link. When the
// answer is kOurs and `contents` is not NULL, the file's text (up to its
// first NUL byte) is stored there, owned by the caller; otherwise `contents`
// is left alone.
UserEntryOwner user_entry_owner(const char* path, char** contents);

// `argument` as one double-quoted argument of a desktop entry's "Exec" key,
// before key-file escaping. Free with g_free.
char* quote_exec_argument(const char* argument);

// GLib source callback for SIGTERM, SIGINT and SIGHUP (the signal number in
// `user_data`): cleans up, then dies by the same signal.
gboolean on_terminate_signal(gpointer user_data);

// The runtime directory of this application: the user's runtime directory,
// "zemtra", APPLICATION_ID. Free with g_free.
char* desktop_runtime_dir_path();

// The installation record: set together by a successful installation,
// cleared together by the cleanup. NULL while there is nothing to clean up.
extern char* installed_entry;
extern char* runtime_dir;
extern char* instance_marker;

#endif  // RUNNER_DESKTOP_INTERNAL_H_
