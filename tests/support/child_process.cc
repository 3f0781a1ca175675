#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

extern char** environ;

namespace norvale_test {

bool ChildResult::exited() const { return WIFEXITED(status); }
int ChildResult::exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
int ChildResult::term_signal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

std::vector<std::string> environment_with(const EnvChanges& changes) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item = *entry;
    if (changes.count(item.substr(0, item.find('='))) == 0) env.push_back(item);
  }
  for (const auto& [name, value] : changes) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

namespace {

// A terminal whose output arrives unchanged (no CR added to LF): `ends[0]`
// the side that reads, the path of the side that the child writes to.
bool open_terminal(int ends[2], std::string* path) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return false;
  termios settings{};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || tcgetattr(master, &settings) != 0) {
    close(master);
    return false;
  }
  cfmakeraw(&settings);
  tcsetattr(master, TCSANOW, &settings);
  *path = ptsname(master);
  ends[0] = master;
  ends[1] = -1;
  return true;
}

}  // namespace

ChildResult run_child(const std::vector<std::string>& argv_in, const ChildOptions& options) {
  ChildResult result;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  std::string terminal;
  const bool out_ready = options.stdout_kind == StdoutKind::kTerminal
                             ? open_terminal(out_pipe, &terminal)
                             : pipe2(out_pipe, O_CLOEXEC) == 0;
  if (!out_ready || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  switch (options.stdout_kind) {
    case StdoutKind::kPipe:
      posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
      break;
    case StdoutKind::kFile:
      posix_spawn_file_actions_addopen(&actions, 1, options.stdout_file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
      break;
    case StdoutKind::kTerminal:
      posix_spawn_file_actions_addopen(&actions, 1, terminal.c_str(), O_WRONLY | O_NOCTTY, 0);
      break;
    case StdoutKind::kStderr:
      posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 1);
      break;
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group, so a timeout can end everything it started.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                           POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attributes, &empty);
  // As a terminal starts it, whatever this process ignores.
  sigset_t terminating;
  sigemptyset(&terminating);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&terminating, s);
  posix_spawnattr_setsigdefault(&attributes, &terminating);

  std::vector<std::string> argv = argv_in;
  std::vector<std::string> env = environment_with(options.env);
  std::vector<char*> c_argv = c_strings(argv);
  std::vector<char*> c_env = c_strings(env);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, c_argv[0], &actions, &attributes, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in_pipe[0]);
  if (out_pipe[1] >= 0) close(out_pipe[1]);
  if (options.stdout_kind == StdoutKind::kFile || options.stdout_kind == StdoutKind::kStderr) {
    // Nothing comes through this pipe.
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  close(err_pipe[1]);
  if (rc != 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = std::string("spawn failed: ") + std::strerror(rc);
    return result;
  }
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (options.stdin_data.empty()) {
    close(in_pipe[1]);
    in_pipe[1] = -1;
  } else {
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  }

  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration<double>(options.timeout_seconds);
  int open_streams = out_pipe[0] >= 0 ? 2 : 1;
  while (open_streams > 0) {
    pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0},
                     {in_pipe[1], POLLOUT, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    int ready = poll(fds, 3, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        (i == 0 ? out_pipe[0] : err_pipe[0]) = -1;
        --open_streams;
      }
    }
    if (in_pipe[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = write(in_pipe[1], options.stdin_data.data() + written,
                        options.stdin_data.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == options.stdin_data.size()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
      }
    }
  }
  for (int fd : {out_pipe[0], err_pipe[0], in_pipe[1]}) {
    if (fd >= 0) close(fd);
  }
  while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
  }
  if (options.stdout_kind == StdoutKind::kFile) {
    std::ifstream file(options.stdout_file, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    result.out = text.str();
  }
  return result;
}

ChildResult run_scenario(const std::string& name, const ChildOptions& options) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
  return run_child({exe, "--scenario", name}, options);
}

}  // namespace norvale_test
