#include "runner_fixture.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace norvale_test {

namespace {

std::string temp_root() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/runner_test.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// Splits at blanks outside double quotes; a quoted value is decoded with
// g_strcompress, the inverse of the trace's g_strescape.
std::vector<std::string> split_values(const std::string& text) {
  std::vector<std::string> values;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (text[i] == '"') {
      size_t end = i + 1;
      while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
      std::string inner = text.substr(i + 1, end - i - 1);
      gchar* decoded = g_strcompress(inner.c_str());
      values.emplace_back(decoded);
      g_free(decoded);
      i = end + 1;
    } else {
      size_t end = text.find(' ', i);
      if (end == std::string::npos) end = text.size();
      values.push_back(text.substr(i, end - i));
      i = end;
    }
  }
  return values;
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

XdgTree::XdgTree() : root_(temp_root()) {
  for (const char* dir :
       {"runtime", "data-home", "data-dirs", "config", "cache", "state", "home"}) {
    mkdir(path(dir).c_str(), 0700);
  }
}

XdgTree::~XdgTree() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

EnvChanges XdgTree::env() const {
  return {{"XDG_RUNTIME_DIR", path("runtime")},
          {"XDG_DATA_HOME", path("data-home")},
          {"XDG_DATA_DIRS", path("data-dirs") + ":/usr/local/share:/usr/share"},
          {"XDG_CONFIG_HOME", path("config")},
          {"XDG_CACHE_HOME", path("cache")},
          {"XDG_STATE_HOME", path("state")},
          {"HOME", path("home")}};
}

Trace Trace::parse(const std::string& text) {
  Trace trace;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    size_t blank = line.find(' ');
    TraceLine parsed{line.substr(0, blank), {}};
    if (blank != std::string::npos) parsed.values = split_values(line.substr(blank + 1));
    trace.lines_.push_back(std::move(parsed));
  }
  return trace;
}

Trace Trace::read(const std::string& path) { return parse(read_file(path)); }

std::vector<std::vector<std::string>> Trace::all(const std::string& key) const {
  std::vector<std::vector<std::string>> found;
  for (const TraceLine& line : lines_) {
    if (line.key == key) found.push_back(line.values);
  }
  return found;
}

std::string Trace::only(const std::string& key) const {
  auto found = all(key);
  if (found.empty()) return "<no " + key + " line>";
  if (found.size() > 1) return "<" + std::to_string(found.size()) + " " + key + " lines>";
  std::string joined;
  for (const std::string& value : found[0]) joined += (joined.empty() ? "" : " ") + value;
  return joined;
}

int Trace::index_of(const std::string& key) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].key == key) return static_cast<int>(i);
  }
  return -1;
}

EnvChanges runner_env(const XdgTree& tree) {
  EnvChanges env = tree.env();
  env["NORVALE_FLUTTER_TRACE"] = tree.path("trace");
  env["NORVALE_FLUTTER_CLOSE_WINDOW"] = "after-window-report";
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "GDK_BACKEND", "ZEMTRA_NO_IMPELLER",
                           "FLUTTER_LINUX_RENDERER", "FLATPAK_ID", "SNAP", "APPIMAGE",
                           "GTK_MODULES", "PYTHONINSPECT", "DBUS_SESSION_BUS_ADDRESS"}) {
    env[name] = std::nullopt;
  }
  return env;
}

RunnerRun run_runner(const RunnerOptions& options) {
  XdgTree tree;
  ChildOptions child;
  child.env = runner_env(tree);
  for (const auto& [name, value] : options.env_changes) child.env[name] = value;
  std::vector<std::string> argv = {NORVALE_WITH_DISPLAY};
  argv.insert(argv.end(), options.display_options.begin(), options.display_options.end());
  argv.push_back("--");
  argv.push_back(options.executable);
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  RunnerRun run;
  run.result = run_child(argv, child);
  run.trace = Trace::read(tree.path("trace"));
  return run;
}

std::string unexpected_stderr(const std::string& err) {
  std::istringstream in(err);
  std::string line, rest;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line.find("gdk_seat_get_keyboard: assertion 'GDK_IS_SEAT (seat)' failed") !=
        std::string::npos) {
      continue;
    }
    rest += line + "\n";
  }
  return rest;
}

BackgroundRunner::BackgroundRunner(const std::vector<std::string>& argv_in,
                                   const EnvChanges& changes) {
  int in_pipe[2], trace_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(trace_pipe, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, trace_pipe[1], 3);
  EnvChanges with_trace = changes;
  with_trace["NORVALE_FLUTTER_TRACE"] = "/dev/fd/3";
  with_trace["NORVALE_FLUTTER_CLOSE_WINDOW"] = "at-stdin-end";
  std::vector<std::string> env = environment_with(with_trace);
  std::vector<std::string> argv = argv_in;
  std::vector<char*> c_argv = c_strings(argv), c_env = c_strings(env);
  if (posix_spawn(&pid_, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(trace_pipe[1]);
  stdin_fd_ = in_pipe[1];
  trace_fd_ = trace_pipe[0];
}

BackgroundRunner::~BackgroundRunner() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {stdin_fd_, trace_fd_}) {
    if (fd >= 0) close(fd);
  }
}

bool BackgroundRunner::read_trace_until(const std::string& key) {
  while (true) {
    size_t end;
    while ((end = text_.find('\n', scanned_)) != std::string::npos) {
      std::string line = text_.substr(scanned_, end - scanned_);
      scanned_ = end + 1;
      if (line == key || line.rfind(key + " ", 0) == 0) return true;
    }
    if (trace_fd_ < 0) return false;
    char buffer[4096];
    ssize_t n = read(trace_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(trace_fd_);
      trace_fd_ = -1;
      return false;
    }
    text_.append(buffer, static_cast<size_t>(n));
  }
}

bool BackgroundRunner::still_running() {
  if (pid_ <= 0) return false;
  if (waitpid(pid_, &status_, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

int BackgroundRunner::finish() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
  read_trace_until("\n");  // no line is "\n": reads to the end of the trace
  if (pid_ > 0) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  return status_;
}

}  // namespace norvale_test
