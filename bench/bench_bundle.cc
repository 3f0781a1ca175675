// bench_bundle INSTALLED RUN_IN_BUNDLE PYTHON3
//
// The installed bundle as users get it: its size on disk, and how long a
// program that imports what applications commonly use takes to reach its end
// on the bundle's Python from a read-only install, against PYTHON3 running the
// same program, measured alternately in one run. The install is made
// read-only by a read-only bind mount in a private mount namespace (as root,
// file modes would not stop CPython from writing bytecode), and
// PYTHONDONTWRITEBYTECODE is removed, as a user's machine does not set it.

#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr char kProgram[] =
    "import json, asyncio, multiprocessing, ssl, sqlite3, logging, urllib.request, email.message\n"
    "import http.client, decimal, dataclasses, typing, pathlib, subprocess, threading\n"
    "import concurrent.futures\n";
constexpr int kWarmUp = 2;
constexpr int kRuns = 15;

double disk_usage_mb(const std::string& root) {
  uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat st{};
    if (lstat(entry.path().c_str(), &st) == 0) bytes += static_cast<uintmax_t>(st.st_blocks) * 512;
  }
  return static_cast<double>(bytes) / 1e6;
}

// Wall time of one run in milliseconds, or -1 when it failed.
double time_run(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool make_read_only(const std::string& dir) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
      mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    std::perror("bench_bundle: read-only bind mount");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: bench_bundle INSTALLED RUN_IN_BUNDLE PYTHON3\n", stderr);
    return 2;
  }
  const std::string installed = std::filesystem::canonical(argv[1]);
  const std::string run_in_bundle = argv[2], python = argv[3];
  const double size = disk_usage_mb(installed);

  char scratch[] = "/tmp/bench_bundle.XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  const std::string program = std::string(scratch) + "/imports.py";
  std::ofstream(program) << kProgram;
  unsetenv("PYTHONDONTWRITEBYTECODE");
  unsetenv("PYTHONHOME");
  unsetenv("PYTHONPATH");
  if (!make_read_only(installed)) return 1;

  std::vector<double> bundle, reference;
  for (int i = 0; i < kWarmUp + kRuns; ++i) {
    const double b = time_run({run_in_bundle, installed, program});
    const double p = time_run({python, program});
    if (b < 0 || p < 0) {
      std::fprintf(stderr, "bench_bundle: a run failed (bundle %.1f, python3 %.1f)\n", b, p);
      return 1;
    }
    if (i >= kWarmUp) {
      bundle.push_back(b);
      reference.push_back(p);
    }
  }
  std::filesystem::remove_all(scratch);

  const double b = median(bundle), p = median(reference);
  std::printf("\n| Installed bundle | Bundle | Reference | Bundle / reference |\n");
  std::printf("|---|---|---|---|\n");
  std::printf("| Installed size on disk vs target | %.1f MB | 30 MB | %.2f |\n", size, size / 30.0);
  std::printf("| Start-up to the end of a program importing 16 common modules, read-only install, "
              "vs `python3` on the same program (median of %d) | %.0f ms | %.0f ms | %.2f |\n",
              kRuns, b, p, b / p);
  return 0;
}
