#include "app_run.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>

namespace e2e_test {

namespace {

using norvale_test::c_strings;
using norvale_test::environment_with;

// A guard against a run that hangs, not a timing the tests rely on. It
// bounds a whole wait: the demo's figures arrive every second for ever.
constexpr std::chrono::seconds kHangGuard{90};

struct ProcessEntry {
  pid_t pid;
  char state;
  pid_t parent;
  pid_t group;
};

// Every process there is, from /proc/PID/stat.
std::vector<ProcessEntry> all_processes() {
  std::vector<ProcessEntry> processes;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // After the command's closing parenthesis: state, parent, group.
    const std::string stat = norvale_test::read_file(it->path().string() + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int parent = 0, group = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &parent, &group) == 3) {
      processes.push_back({static_cast<pid_t>(std::stoi(name)), state, static_cast<pid_t>(parent),
                           static_cast<pid_t>(group)});
    }
  }
  return processes;
}

// Above the descriptors the child gets (0 to 4), so that no dup2 into
// them overwrites a pipe end that a later dup2 still needs.
bool make_pipe_above_child_fds(int ends[2]) {
  int low[2];
  if (pipe2(low, O_CLOEXEC) != 0) return false;
  ends[0] = fcntl(low[0], F_DUPFD_CLOEXEC, 10);
  ends[1] = fcntl(low[1], F_DUPFD_CLOEXEC, 10);
  close(low[0]);
  close(low[1]);
  return ends[0] >= 0 && ends[1] >= 0;
}

bool starts_with(const std::vector<std::string>& values, const std::vector<std::string>& prefix) {
  if (values.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (values[i] != prefix[i]) return false;
  }
  return true;
}

}  // namespace

EnvChanges app_env(const XdgTree& tree) {
  EnvChanges env = norvale_test::runner_env(tree);
  // The stand-in engine runs the application only when no test mode is set.
  env["NORVALE_FLUTTER_CLOSE_WINDOW"] = std::nullopt;
  env["NORVALE_FLUTTER_TRACE"] = "/dev/fd/3";
  env["NORVALE_APP_CONTROL_FD"] = "4";
  env["NORVALE_APP_TRANSCRIPT"] = tree.path("transcript");
  for (const char* name : {"NORVALE_APP_SCRIPT", "NORVALE_APP_PROGRAM", "PYTHONPATH"}) {
    env[name] = std::nullopt;
  }
  return env;
}

AppRun::AppRun(const XdgTree& tree, const AppRunOptions& options) {
  int control[2], trace[2], out[2], err[2];
  if (!make_pipe_above_child_fds(control) || !make_pipe_above_child_fds(trace) ||
      !make_pipe_above_child_fds(out) || !make_pipe_above_child_fds(err)) {
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.stdout_file.empty()) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, options.stdout_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_adddup2(&actions, trace[1], 3);
  posix_spawn_file_actions_adddup2(&actions, control[0], 4);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that nothing of a failed run outlives the test.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                           POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  // As a terminal starts it, whatever this process ignores.
  sigset_t terminating;
  sigemptyset(&terminating);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&terminating, s);
  posix_spawnattr_setsigdefault(&attributes, &terminating);

  EnvChanges changes = app_env(tree);
  for (const auto& [name, value] : options.env) changes[name] = value;
  std::vector<std::string> env = environment_with(changes);
  std::vector<std::string> argv = options.wrapper;
  argv.push_back(NORVALE_WITH_DISPLAY);
  argv.insert(argv.end(), options.display.begin(), options.display.end());
  argv.push_back("--");
  argv.insert(argv.end(), options.launcher.begin(), options.launcher.end());
  argv.push_back(options.runner);
  std::vector<char*> c_argv = c_strings(argv), c_env = c_strings(env);
  if (posix_spawnp(&pid_, c_argv[0], &actions, &attributes, c_argv.data(), c_env.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int fd : {control[0], trace[1], out[1], err[1]}) close(fd);
  control_fd_ = control[1];
  trace_fd_ = trace[0];
  out_fd_ = out[0];
  err_fd_ = err[0];
  signal(SIGPIPE, SIG_IGN);
}

AppRun::~AppRun() {
  if (pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {control_fd_, trace_fd_, out_fd_, err_fd_}) {
    if (fd >= 0) close(fd);
  }
}

namespace {

// The fields of /proc/PID/status (or of a thread's) that say why it waits.
std::string status_fields(const std::string& dir, std::initializer_list<const char*> names) {
  const std::string status = norvale_test::read_file(dir + "/status");
  std::string fields;
  size_t start = 0;
  while (start < status.size()) {
    size_t end = status.find('\n', start);
    if (end == std::string::npos) end = status.size();
    const std::string line = status.substr(start, end - start);
    start = end + 1;
    for (const char* name : names) {
      if (line.rfind(std::string(name) + ":", 0) != 0) continue;
      std::string field = line;
      std::replace(field.begin(), field.end(), '\t', ' ');
      fields += " " + field;
    }
  }
  return fields;
}

std::string first_line(const std::string& path) {
  const std::string text = norvale_test::read_file(path);
  return text.substr(0, text.find('\n'));
}

// Every process whose parent chain leads to `root`, with `root`.
std::vector<pid_t> descendants(pid_t root) {
  const std::vector<ProcessEntry> processes = all_processes();
  std::vector<pid_t> found{root};
  for (size_t i = 0; i < found.size(); ++i) {
    for (const ProcessEntry& process : processes) {
      if (process.parent == found[i]) found.push_back(process.pid);
    }
  }
  return found;
}

}  // namespace

// Where each process of a hung run and each of its threads waits, and what
// signals they block, have pending or handle.
std::string describe_processes(pid_t root, pid_t group) {
  std::vector<pid_t> pids = descendants(root);
  if (group > 1) {
    for (pid_t member : processes_in_group(group)) {
      if (std::find(pids.begin(), pids.end(), member) == pids.end()) pids.push_back(member);
    }
  }
  std::string report = "---- processes of the run ----\n";
  for (pid_t pid : pids) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::string command = norvale_test::read_file(dir + "/cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    report += std::to_string(pid) + " " + command +
              status_fields(dir, {"State", "PPid", "ShdPnd", "SigIgn", "SigCgt"}) + "\n";
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir + "/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
      const std::string task = it->path().string();
      report += "  thread " + it->path().filename().string() + " " + first_line(task + "/comm") +
                " wchan=" + first_line(task + "/wchan") + " syscall=" +
                first_line(task + "/syscall") + status_fields(task, {"State", "SigPnd", "SigBlk"}) +
                "\n";
    }
  }
  return report;
}

bool AppRun::read_some(std::chrono::steady_clock::time_point deadline) {
  int* fds[] = {&trace_fd_, &out_fd_, &err_fd_};
  std::string* texts[] = {&trace_text_, &out_, &err_};
  pollfd entries[3];
  int open = 0;
  for (int i = 0; i < 3; ++i) {
    entries[i] = {*fds[i], POLLIN, 0};
    if (*fds[i] >= 0) ++open;
  }
  if (open == 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  int ready = left.count() > 0 ? poll(entries, 3, static_cast<int>(left.count())) : 0;
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) {
    err_ += "\n[test: not done after " + std::to_string(kHangGuard.count()) + " s]\n";
    if (pid_ > 0) err_ += describe_processes(pid_, runner_pid());
    hang_guard_fired_ = true;
    for (int* fd : fds) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    if (*fds[i] < 0 || (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char buffer[65536];
    ssize_t n = read(*fds[i], buffer, sizeof buffer);
    if (n > 0) {
      texts[i]->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(*fds[i]);
      *fds[i] = -1;
    }
  }
  return true;
}

bool AppRun::wait_for(const std::string& key, const std::vector<std::string>& values,
                      TraceLine* found) {
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  size_t scanned = 0;
  while (true) {
    size_t end;
    while ((end = trace_text_.find('\n', scanned)) != std::string::npos) {
      Trace line = Trace::parse(trace_text_.substr(scanned, end - scanned));
      scanned = end + 1;
      if (line.lines().empty()) continue;
      const TraceLine& first = line.lines()[0];
      if (first.key == key && starts_with(first.values, values)) {
        if (found != nullptr) *found = first;
        return true;
      }
      // A step the application refused: what the test waits for won't come.
      if (first.key == "app-error") return false;
    }
    if (trace_fd_ < 0 || !read_some(deadline)) {
      if (trace_fd_ >= 0) continue;
      return false;
    }
  }
}

void AppRun::step(const std::string& line) {
  std::string text = line + "\n";
  if (write(control_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    err_ += "\n[test: the control pipe refused a step]\n";
  }
}

bool AppRun::click(const std::string& button) {
  if (!wait_for("app-received", {"1", "button", button})) return false;
  step("click " + button);
  return true;
}

int AppRun::finish() {
  if (control_fd_ >= 0) close(control_fd_);
  control_fd_ = -1;
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (read_some(deadline)) {
  }
  if (pid_ > 0 && hang_guard_fired_) {
    // A run that would not end fails the test, with what it said so far.
    err_ += "[test: the run is killed]\n";
    kill(-pid_, SIGKILL);
  }
  if (pid_ > 0) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  return status_;
}

pid_t AppRun::runner_pid() const {
  auto start = trace().all("app-start");
  return start.empty() || start[0].empty() ? -1 : static_cast<pid_t>(std::stol(start[0][0]));
}

std::string AppRun::describe() const {
  return "---- trace ----\n" + trace_text_ + "---- stdout ----\n" + out_ + "---- stderr ----\n" +
         err_;
}

std::vector<std::string> desktop_files_left(const XdgTree& tree) {
  std::vector<std::string> left;
  for (const std::string& dir : {tree.path("data-home/applications"), tree.path("runtime/zemtra")}) {
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      const std::string path = it->path().string();
      if (path.size() < 5 || path.substr(path.size() - 5) != ".lock") left.push_back(path);
    }
  }
  return left;
}

std::string canonical_runner() {
  char resolved[PATH_MAX];
  return realpath(NORVALE_RUNNER, resolved) != nullptr ? resolved : "";
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

int watch_process(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool ends(int pidfd) {
  if (pidfd < 0) return true;
  pollfd entry{pidfd, POLLIN, 0};
  const bool ended = poll(&entry, 1, 60'000) == 1;  // a hang guard
  close(pidfd);
  return ended;
}

std::vector<pid_t> processes_in_group(pid_t group) {
  std::vector<pid_t> members;
  for (const ProcessEntry& process : all_processes()) {
    // A zombie has ended; only its parent has yet to reap it.
    if (process.group == group && process.state != 'Z') members.push_back(process.pid);
  }
  return members;
}

std::string hide_builds_python() {
  std::string code;
  std::string paths = NORVALE_PYTHON_HIDDEN_PATHS;
  for (size_t start = 0; start <= paths.size();) {
    size_t end = paths.find(':', start);
    if (end == std::string::npos) end = paths.size();
    const std::string path = paths.substr(start, end - start);
    start = end + 1;
    if (path.empty()) continue;
    // The paths come from the build's configuration: no quotes in them.
    const std::string quoted = "'" + path + "'";
    code += "if [ -d " + quoted + " ]; then mount -t tmpfs none " + quoted + " && [ -z \"$(ls -A " +
            quoted + ")\" ]; else mount --bind /dev/null " + quoted + " && [ ! -s " + quoted +
            " ]; fi && ";
  }
  return code + "true";
}

std::vector<std::string> hiding_builds_python() {
  return {"unshare", "-m", "sh", "-c", hide_builds_python() + " && exec \"$@\"", "sh"};
}

}  // namespace e2e_test
