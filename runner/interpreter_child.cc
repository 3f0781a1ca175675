#include "interpreter_child.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using MpCheck = int32_t (*)(int32_t argc, char** argv);
using MpMain = int32_t (*)(int32_t argc, char** argv);

// Deeper than any chain of shells and wrappers; a guard against a loop.
constexpr int kMaxAncestors = 64;

// The executable that `link` (a /proc/.../exe) names; empty when unreadable.
std::string executable_of(const char* link) {
  char path[PATH_MAX];
  const ssize_t length = readlink(link, path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return {};
  return std::string(path, static_cast<size_t>(length));
}

std::string executable_of_process(long pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  return executable_of(link.c_str());
}

// The parent of `pid`, or 0 when unknown.
long parent_of(long pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return 0;
  char line[1024];
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return 0;
  // "PID (COMM) STATE PPID ...", where COMM may hold blanks and parentheses.
  const char* end_of_name = std::strrchr(line, ')');
  char state = 0;
  long parent = 0;
  if (end_of_name == nullptr || std::sscanf(end_of_name + 1, " %c %ld", &state, &parent) != 2) {
    return 0;
  }
  return parent;
}

// Whether a process above this one, through any chain of shells and
// wrappers, runs this very executable: the application (its Python program
// or one of the program's interpreters) started it.
bool descends_from(const std::string& own) {
  long pid = getppid();
  for (int depth = 0; pid > 1 && depth < kMaxAncestors; ++depth) {
    if (executable_of_process(pid) == own) return true;
    pid = parent_of(pid);
  }
  return false;
}

// Whether the environment says that an application started this process,
// also one that has ended since: it reaches processes that no longer
// descend from the application (a daemon, a job of a shell that ended, a
// late child of one), whose start would otherwise run the program again, and
// so on without end.
bool started_within_application() {
  const char* value = std::getenv(kApplicationPidVariable);
  return value != nullptr && *value != '\0';
}

// Whether this process is in the process group of a running application:
// what the application starts stays in its group through double forks and
// empty environments, unless it leaves on purpose (setsid, setpgid).
bool in_application_group(const std::string& own) {
  const pid_t group = getpgrp();
  return group > 1 && group != getpid() && executable_of_process(group) == own;
}

// python, python3 or python3.N: the names under which a virtual environment
// made with `-m venv` runs its interpreter, which is this executable.
bool named_as_python(const char* argv0) {
  if (argv0 == nullptr) return false;
  const char* slash = std::strrchr(argv0, '/');
  const char* name = slash != nullptr ? slash + 1 : argv0;
  if (std::strncmp(name, "python", 6) != 0) return false;
  const char* rest = name + 6;
  if (*rest == '\0') return true;
  if (*rest++ != '3') return false;
  if (*rest == '\0') return true;
  if (*rest++ != '.' || std::isdigit(static_cast<unsigned char>(*rest)) == 0) return false;
  while (std::isdigit(static_cast<unsigned char>(*rest)) != 0) ++rest;
  return *rest == '\0';
}

bool is_interpreters_start(int argc, char** argv, MpCheck is_mp_invocation) {
  if (is_mp_invocation(argc, argv) != 0) return true;
  if (argc > 0 && named_as_python(argv[0])) return true;
  const std::string own = executable_of("/proc/self/exe");
  return started_within_application() ||
         (!own.empty() && (descends_from(own) || in_application_group(own)));
}

}  // namespace

// libnorvale is already loaded (runner is linked against it), so dlopen
// finds that copy; the handle stays open for the life of the process. A
// library without the two entries leaves every start an ordinary one.
bool run_as_interpreter_child(int argc, char** argv, int* status) {
  void* bridge = dlopen("libnorvale.so", RTLD_NOW);
  if (bridge == nullptr) return false;
  auto is_mp_invocation = reinterpret_cast<MpCheck>(dlsym(bridge, "kestrune_is_mp_invocation"));
  auto interpreter_main = reinterpret_cast<MpMain>(dlsym(bridge, "kestrune_main"));
  if (is_mp_invocation == nullptr || interpreter_main == nullptr) return false;
  if (!is_interpreters_start(argc, argv, is_mp_invocation)) return false;
  *status = interpreter_main(argc, argv);
  return true;
}
