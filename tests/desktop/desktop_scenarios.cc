#include "desktop_scenarios.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "desktop_fixture.h"
#include "desktop_integration.h"
#include "desktop_internal.h"
#include "scenario.h"

namespace desktop_test {

namespace {

const char* level_name(GLogLevelFlags level) {
  switch (level & G_LOG_LEVEL_MASK) {
    case G_LOG_LEVEL_ERROR: return "ERROR";
    case G_LOG_LEVEL_CRITICAL: return "CRITICAL";
    case G_LOG_LEVEL_WARNING: return "WARNING";
    case G_LOG_LEVEL_MESSAGE: return "MESSAGE";
    case G_LOG_LEVEL_INFO: return "INFO";
    case G_LOG_LEVEL_DEBUG: return "DEBUG";
    default: return "OTHER";
  }
}

}  // namespace

static GLogWriterOutput print_log(GLogLevelFlags level, const GLogField* fields, gsize count,
                                  gpointer) {
  const char* domain = "-";
  const char* message = "";
  for (gsize i = 0; i < count; ++i) {
    if (std::strcmp(fields[i].key, "GLIB_DOMAIN") == 0) {
      domain = static_cast<const char*>(fields[i].value);
    } else if (std::strcmp(fields[i].key, "MESSAGE") == 0) {
      message = static_cast<const char*>(fields[i].value);
    }
  }
  // Debug and informational messages of the stack's own domains (GLib, GIO,
  // GDK) come and go with its versions: GLib 2.90 logs at debug level that
  // GDK's display start unsets DESKTOP_STARTUP_ID after GLib's threads
  // exist, and GIO which VFS it chose, in any GTK program. Ours have no
  // domain; warnings and criticals are shown whatever their domain.
  const bool own = std::strcmp(domain, "-") == 0;
  if (!own && (level & (G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_INFO)) != 0) return G_LOG_WRITER_HANDLED;
  std::printf("log %s %s %s\n", level_name(level), domain, message);
  std::fflush(stdout);
  return G_LOG_WRITER_HANDLED;
}

void print_logs_to_stdout() { g_log_set_writer_func(print_log, nullptr, nullptr); }

namespace {

const char* or_dash(const char* s) { return s != nullptr ? s : "-"; }

void print_record() {
  std::printf("record %s %s %s\n", or_dash(installed_entry), or_dash(runtime_dir),
              or_dash(instance_marker));
  std::fflush(stdout);
}

void install_from_environment() {
  print_logs_to_stdout();
  std::printf("pid %d\n", static_cast<int>(getpid()));
  std::fflush(stdout);
  const char* executable = g_getenv("DESKTOP_TEST_EXE");
  SCENARIO_CHECK(executable != nullptr);
  if (g_getenv("DESKTOP_TEST_OBEY_MODES") != nullptr) SCENARIO_CHECK(obey_file_modes());
  install_desktop_entry(executable);
  print_record();
}

// Replaces the lock file by a directory, so that no lock can be taken.
void block_lock() {
  g_autofree char* lock = g_strconcat(runtime_dir, ".lock", nullptr);
  g_autofree char* aside = g_strconcat(lock, ".aside", nullptr);
  SCENARIO_CHECK(rename(lock, aside) == 0);
  SCENARIO_CHECK(mkdir(lock, 0700) == 0);
  remove_desktop_entry();
  print_record();
  SCENARIO_CHECK(rmdir(lock) == 0);
  SCENARIO_CHECK(rename(aside, lock) == 0);
}

// What DESKTOP_TEST_BETWEEN asks for between installation and cleanup.
void between_install_and_cleanup() {
  const std::string action = g_getenv("DESKTOP_TEST_BETWEEN") ? g_getenv("DESKTOP_TEST_BETWEEN") : "";
  if (action == "foreign-entry") {
    write_file(installed_entry, "[Desktop Entry]\nType=Application\nName=Mine\nExec=mine\n");
  } else if (action == "symlinked-entry") {
    std::string target = std::string(installed_entry) + ".real";
    SCENARIO_CHECK(rename(installed_entry, target.c_str()) == 0);
    SCENARIO_CHECK(symlink(target.c_str(), installed_entry) == 0);
  } else if (action == "unopenable-dir") {
    SCENARIO_CHECK(obey_file_modes());
    SCENARIO_CHECK(chmod(runtime_dir, 0300) == 0);
  } else if (action == "lock-blocked") {
    block_lock();
  } else {
    SCENARIO_CHECK(action.empty());
  }
}

}  // namespace

// The installation alone; the process then ends as runner does, without
// exit handlers.
NORVALE_SCENARIO(install) {
  install_from_environment();
  std::_Exit(0);
}

// The installation, then the ordinary exit: the exit handler cleans up.
NORVALE_SCENARIO(install_and_exit) {
  install_from_environment();
  return 0;
}

// The installation, DESKTOP_TEST_BETWEEN, the cleanup; then the cleanup once
// more after the files were put back, which must find nothing to do.
NORVALE_SCENARIO(install_and_clean_up) {
  install_from_environment();
  between_install_and_cleanup();
  g_autofree char* marker = g_strdup(instance_marker);
  g_autofree char* entry = g_strdup(installed_entry);
  remove_desktop_entry();
  print_record();
  if (marker != nullptr && g_strcmp0(g_getenv("DESKTOP_TEST_BETWEEN"), "unopenable-dir") != 0) {
    // The marker put back must survive a second call, which has no record.
    g_autofree char* dir = g_path_get_dirname(marker);
    const bool dir_existed = exists(dir);
    write_file(marker, "");
    remove_desktop_entry();
    SCENARIO_CHECK(exists(marker));
    SCENARIO_CHECK(std::remove(marker) == 0);
    if (!dir_existed) SCENARIO_CHECK(rmdir(dir) == 0);
  }
  std::_Exit(0);
}

// A cleanup without an installation: nothing may be touched.
NORVALE_SCENARIO(clean_up_only) {
  print_logs_to_stdout();
  remove_desktop_entry();
  remove_desktop_entry();
  print_record();
  std::_Exit(0);
}

// The installation, then DESKTOP_TEST_SIGNAL sent to itself while the main
// loop runs.
NORVALE_SCENARIO(install_and_signal) {
  install_from_environment();
  const int signum = std::atoi(g_getenv("DESKTOP_TEST_SIGNAL"));
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  SCENARIO_CHECK(kill(getpid(), signum) == 0);
  g_main_loop_run(loop);
  return 3;  // not reached: the signal ends the process
}

// The installation, DESKTOP_TEST_SIGNAL sent to itself, and before the main
// loop has dispatched it, a child made by fork: prints "child N", N the
// signal that ended the child (0 if none did), then lets the main loop end
// the process.
NORVALE_SCENARIO(install_signal_and_fork) {
  install_from_environment();
  const int signum = std::atoi(g_getenv("DESKTOP_TEST_SIGNAL"));
  SCENARIO_CHECK(kill(getpid(), signum) == 0);
  const pid_t child = fork();
  if (child == 0) std::_Exit(0);
  int status = 0;
  SCENARIO_CHECK(waitpid(child, &status, 0) == child);
  std::printf("child %d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  std::fflush(stdout);
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 3;  // not reached: the signal ends the process
}

Outcome run_desktop_scenario(const std::string& scenario, const std::string& executable,
                             norvale_test::ChildOptions options) {
  options.env["DESKTOP_TEST_EXE"] = executable;
  Outcome outcome;
  outcome.child = norvale_test::run_scenario(scenario, options);
  std::istringstream lines(outcome.child.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("pid ", 0) == 0) outcome.pid = std::atoi(line.c_str() + 4);
    if (line.rfind("log ", 0) == 0) outcome.logs.push_back(line.substr(4));
    if (line.rfind("record ", 0) == 0) outcome.records.push_back(line.substr(7));
  }
  return outcome;
}

}  // namespace desktop_test
