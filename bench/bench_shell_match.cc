// How long GNOME Shell takes to match the application's window to its
// desktop entry: from the start of a first instance (no entry yet) to the
// moment the shell's window tracker gives the window the entry's app, and
// from the end of the last instance until the shell forgets the entry. The
// shell decides these figures: it reads changed entries only a while later.
//
// Runs inside `with_display --wayland=gnome-shell --xdg-tree`, which `make
// bench` does; the runner of the bundle is started as a user starts it.

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app_instance.h"
#include "gnome_shell.h"

namespace {

using Clock = std::chrono::steady_clock;
using shell_test::AppInstance;
using shell_test::GnomeShell;

constexpr int kRounds = 3;
const std::string kDesktopId = std::string(APPLICATION_ID) + ".desktop";

struct Round {
  double shown = 0;      // start -> the shell shows the window
  double matched = 0;    // start -> the window is the entry's app
  double forgotten = 0;  // the instance has ended -> the shell no longer knows the entry
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls the shell until `condition` holds; false after two minutes.
template <typename Condition>
bool poll(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::minutes(2);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    struct timespec pause {0, 10'000'000};
    nanosleep(&pause, nullptr);
  }
  return true;
}

std::optional<Round> measure(GnomeShell& shell, int number) {
  Round round;
  const char* home = std::getenv("HOME");
  const auto start = Clock::now();
  AppInstance instance(BENCH_RUNNER, {}, std::string(home) + "/bench-" + std::to_string(number));
  bool shown = false;
  if (!poll([&] {
        auto windows = shell.windows_of(instance.pid());
        if (!windows || windows->size() != 1 || !windows->front().shown) return false;
        if (!shown) round.shown = seconds_since(start);
        shown = true;
        return windows->front().app_id == kDesktopId;
      })) {
    std::fprintf(stderr, "bench_shell_match: the window was not matched: %s\n%s\n",
                 shell.error().c_str(), instance.err().c_str());
    return std::nullopt;
  }
  round.matched = seconds_since(start);
  instance.close_window();
  const int status = instance.wait();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench_shell_match: the instance failed\n%s\n", instance.err().c_str());
    return std::nullopt;
  }
  const auto ended = Clock::now();
  if (!poll([&] { return shell.knows_app(kDesktopId) == false; })) {
    std::fprintf(stderr, "bench_shell_match: the shell did not forget the entry\n");
    return std::nullopt;
  }
  round.forgotten = seconds_since(ended);
  return round;
}

// "GNOME Shell 43.9", as the shell says itself.
std::string shell_version() {
  std::string text;
  if (FILE* pipe = popen("gnome-shell --version", "re")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    pclose(pipe);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "GNOME Shell" : text;
}

void print_row(const char* what, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("| %s | %.2f s | %.2f s | %.2f s |\n", what, values[values.size() / 2],
              values.front(), values.back());
}

}  // namespace

int main() {
  GnomeShell shell;
  if (!shell.eval("true")) {
    std::fprintf(stderr, "bench_shell_match: no GNOME Shell to ask: %s\n", shell.error().c_str());
    return 1;
  }
  std::vector<Round> rounds;
  for (int i = 0; i < kRounds; ++i) {
    auto round = measure(shell, i);
    if (!round) return 1;
    rounds.push_back(*round);
  }
  auto column = [&](double Round::*field) {
    std::vector<double> values;
    for (const Round& round : rounds) values.push_back(round.*field);
    return values;
  };
  std::printf("\n%s, headless on Wayland: a first instance, %d rounds\n\n",
              shell_version().c_str(), kRounds);
  std::printf("| Time | Median | Min | Max |\n|---|---|---|---|\n");
  print_row("Start to window shown (window-backed: WM class as name, generic icon)",
            column(&Round::shown));
  print_row("Start to window matched to the entry (name and icon)", column(&Round::matched));
  print_row("Last instance ended to entry forgotten", column(&Round::forgotten));
  return 0;
}
