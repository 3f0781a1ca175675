#include "app_instance.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

namespace shell_test {

namespace {

// The instance's trace and control descriptors.
constexpr int kTraceFd = 3;
constexpr int kControlFd = 4;

// Above the descriptors the child gets, so that no dup2 into them
// overwrites an end that a later dup2 still needs. The control channel is
// a socket pair, so that writing to an instance that has gone fails
// instead of raising SIGPIPE.
bool make_channel_above_child_fds(int ends[2], bool socket) {
  int low[2];
  if ((socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, low) : pipe2(low, O_CLOEXEC)) != 0) {
    return false;
  }
  ends[0] = fcntl(low[0], F_DUPFD_CLOEXEC, 10);
  ends[1] = fcntl(low[1], F_DUPFD_CLOEXEC, 10);
  close(low[0]);
  close(low[1]);
  return ends[0] >= 0 && ends[1] >= 0;
}

}  // namespace

AppInstance::AppInstance(const std::string& runner, const norvale_test::EnvChanges& env,
                         const std::string& log_stem)
    : log_stem_(log_stem) {
  int control[2], trace[2];
  if (!make_channel_above_child_fds(control, true) || !make_channel_above_child_fds(trace, false)) {
    return;
  }
  norvale_test::EnvChanges changes = env;
  // No test mode of the stand-in engine: it runs the application.
  changes.emplace("NORVALE_FLUTTER_CLOSE_WINDOW", std::nullopt);
  changes.emplace("NORVALE_FLUTTER_TRACE", "/dev/fd/" + std::to_string(kTraceFd));
  changes.emplace("NORVALE_APP_CONTROL_FD", std::to_string(kControlFd));
  for (const char* name : {"NORVALE_APP_SCRIPT", "NORVALE_APP_PROGRAM", "NORVALE_APP_TRANSCRIPT",
                           "FLATPAK_ID", "SNAP", "APPIMAGE", "PYTHONPATH", "GTK_MODULES"}) {
    changes.emplace(name, std::nullopt);
  }
  changes.emplace("NO_AT_BRIDGE", "1");
  changes.emplace("GTK_A11Y", "none");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (log_stem + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (log_stem + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, trace[1], kTraceFd);
  posix_spawn_file_actions_adddup2(&actions, control[0], kControlFd);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none, terminating;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigemptyset(&terminating);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&terminating, s);
  posix_spawnattr_setsigdefault(&attributes, &terminating);

  std::vector<std::string> argv = {runner};
  std::vector<std::string> environment = norvale_test::environment_with(changes);
  std::vector<char*> c_argv = norvale_test::c_strings(argv);
  std::vector<char*> c_env = norvale_test::c_strings(environment);
  if (posix_spawn(&pid_, runner.c_str(), &actions, &attributes, c_argv.data(), c_env.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(control[0]);
  close(trace[1]);
  control_fd_ = control[1];
  trace_fd_ = trace[0];
}

AppInstance::~AppInstance() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    wait();
  }
  if (control_fd_ >= 0) close(control_fd_);
  if (trace_fd_ >= 0) close(trace_fd_);
}

bool AppInstance::wait_for(const std::string& key) {
  size_t scanned = 0;
  for (;;) {
    size_t end;
    while ((end = trace_.find('\n', scanned)) != std::string::npos) {
      const std::string_view line(trace_.data() + scanned, end - scanned);
      if (line.substr(0, line.find(' ')) == key) return true;
      scanned = end + 1;
    }
    if (trace_fd_ < 0) return false;
    char buffer[4096];
    const ssize_t n = read(trace_fd_, buffer, sizeof buffer);
    if (n > 0) {
      trace_.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(trace_fd_);
      trace_fd_ = -1;
    }
  }
}

void AppInstance::close_window() {
  static constexpr char kClose[] = "close\n";
  if (control_fd_ >= 0) {
    const ssize_t written = send(control_fd_, kClose, sizeof kClose - 1, MSG_NOSIGNAL);
    (void)written;  // an instance that is gone has closed its window already
  }
}

int AppInstance::wait() {
  if (pid_ > 0 && !reaped_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  return status_;
}

std::string AppInstance::err() const {
  std::ifstream in(log_stem_ + ".err");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace shell_test
