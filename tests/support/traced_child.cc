#include "traced_child.h"

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

namespace norvale_test {

namespace {

// Above the descriptors the child gets, so that no dup2 into them
// overwrites an end that a later dup2 still needs.
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

TracedChild::TracedChild(const std::string& executable, const EnvChanges& env,
                         const std::string& log_stem, int held_fd)
    : log_stem_(log_stem) {
  int held[2], trace[2];
  if (!make_channel_above_child_fds(held, held_fd != 0) ||
      !make_channel_above_child_fds(trace, false)) {
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (held_fd != 0) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (log_stem + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (log_stem + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, trace[1], kTraceFd);
  posix_spawn_file_actions_adddup2(&actions, held[0], held_fd);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  sigset_t none, terminating;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigemptyset(&terminating);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&terminating, s);
  posix_spawnattr_setsigdefault(&attributes, &terminating);

  std::vector<std::string> argv = {executable};
  std::vector<std::string> environment = environment_with(env);
  std::vector<char*> c_argv = c_strings(argv), c_env = c_strings(environment);
  if (posix_spawn(&pid_, executable.c_str(), &actions, &attributes, c_argv.data(), c_env.data()) !=
      0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(held[0]);
  close(trace[1]);
  held_fd_ = held[1];
  trace_fd_ = trace[0];
}

TracedChild::~TracedChild() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    wait();
  }
  close_held();
  if (trace_fd_ >= 0) close(trace_fd_);
}

size_t TracedChild::find_line(const std::function<bool(std::string_view)>& matches, size_t from) {
  size_t scanned = from;
  for (;;) {
    size_t end;
    while ((end = trace_.find('\n', scanned)) != std::string::npos) {
      if (matches(std::string_view(trace_.data() + scanned, end - scanned))) return end + 1;
      scanned = end + 1;
    }
    if (trace_fd_ < 0) return std::string::npos;
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

void TracedChild::close_held() {
  if (held_fd_ >= 0) close(held_fd_);
  held_fd_ = -1;
}

int TracedChild::wait() {
  if (pid_ > 0 && !reaped_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  return status_;
}

std::string TracedChild::err() const {
  std::ifstream in(log_stem_ + ".err");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace norvale_test
