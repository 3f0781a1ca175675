#include "app_instance.h"

#include <sys/socket.h>

namespace shell_test {

namespace {

// The instance's control descriptor.
constexpr int kControlFd = 4;

norvale_test::EnvChanges app_env(const norvale_test::EnvChanges& env) {
  norvale_test::EnvChanges changes = env;
  // No test mode of the stand-in engine: it runs the application.
  changes.emplace("NORVALE_FLUTTER_CLOSE_WINDOW", std::nullopt);
  changes.emplace("NORVALE_FLUTTER_TRACE", "/dev/fd/" + std::to_string(AppInstance::kTraceFd));
  changes.emplace("NORVALE_APP_CONTROL_FD", std::to_string(kControlFd));
  for (const char* name : {"NORVALE_APP_SCRIPT", "NORVALE_APP_PROGRAM", "NORVALE_APP_TRANSCRIPT",
                           "FLATPAK_ID", "SNAP", "APPIMAGE", "PYTHONPATH", "GTK_MODULES"}) {
    changes.emplace(name, std::nullopt);
  }
  changes.emplace("NO_AT_BRIDGE", "1");
  changes.emplace("GTK_A11Y", "none");
  return changes;
}

}  // namespace

AppInstance::AppInstance(const std::string& runner, const norvale_test::EnvChanges& env,
                         const std::string& log_stem)
    : TracedChild(runner, app_env(env), log_stem, kControlFd) {}

bool AppInstance::wait_for(const std::string& key) {
  return find_line([&key](std::string_view line) { return line.substr(0, line.find(' ')) == key; }) !=
         std::string::npos;
}

void AppInstance::close_window() {
  static constexpr char kClose[] = "close\n";
  if (held_fd() >= 0) {
    const ssize_t written = send(held_fd(), kClose, sizeof kClose - 1, MSG_NOSIGNAL);
    (void)written;  // an instance that is gone has closed its window already
  }
}

}  // namespace shell_test
