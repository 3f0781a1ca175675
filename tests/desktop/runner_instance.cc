#include "runner_instance.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "desktop_fixture.h"

namespace desktop_test {

norvale_test::ChildOptions instance_options(norvale_test::ChildOptions tree_options) {
  tree_options.env["NORVALE_FLUTTER_TRACE"] = "/dev/fd/3";
  tree_options.env["NORVALE_FLUTTER_CLOSE_WINDOW"] = "at-stdin-end";
  return tree_options;
}

RunnerInstance::RunnerInstance(const std::string& executable,
                               const norvale_test::ChildOptions& options,
                               const std::string& log_stem)
    : log_stem_(log_stem) {
  int input[2], trace[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(trace, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, (log_stem + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (log_stem + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, trace[1], 3);
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
  std::vector<std::string> env = norvale_test::environment_with(options.env);
  std::vector<char*> c_argv = norvale_test::c_strings(argv), c_env = norvale_test::c_strings(env);
  if (posix_spawn(&pid_, executable.c_str(), &actions, &attributes, c_argv.data(),
                  c_env.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(input[0]);
  close(trace[1]);
  stdin_fd_ = input[1];
  trace_fd_ = trace[0];
}

RunnerInstance::~RunnerInstance() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    wait();
  }
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (trace_fd_ >= 0) close(trace_fd_);
}

bool RunnerInstance::wait_for(const std::string& key) {
  size_t scanned = 0;
  for (;;) {
    size_t end;
    while ((end = trace_.find('\n', scanned)) != std::string::npos) {
      if (trace_.compare(scanned, key.size(), key) == 0) {
        trace_.erase(0, end + 1);
        return true;
      }
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

void RunnerInstance::close_window() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

int RunnerInstance::wait() {
  if (pid_ > 0 && !reaped_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  return status_;
}

std::string RunnerInstance::err() const { return read_file(log_stem_ + ".err").value_or(""); }

}  // namespace desktop_test
