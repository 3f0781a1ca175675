// bench_bundle INSTALLED RUN_IN_BUNDLE PYTHON3 [NUMPY_INSTALLED VENV_PYTHON3]
//
// The installed bundle as users get it: its size on disk (the demo's
// packages included), and how long a program that imports what applications
// commonly use takes to reach its end on the bundle's Python from a
// read-only install, against PYTHON3 running the same program, measured
// alternately in one run. With NUMPY_INSTALLED, a bundle whose program
// imports numpy (from its own packages), the same for that program against
// VENV_PYTHON3, a venv of the same python3 with the same numpy. The installs
// are made read-only by a read-only bind mount in a private mount namespace
// (as root, file modes would not stop CPython from writing bytecode), and
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
constexpr char kNumpyProgram[] = "import numpy\nnumpy.ones(3).sum()\n";
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

bool make_read_only(const std::vector<std::string>& dirs) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::perror("bench_bundle: private mount namespace");
    return false;
  }
  for (const std::string& dir : dirs) {
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      std::perror("bench_bundle: read-only bind mount");
      return false;
    }
  }
  return true;
}

struct StartUp {
  double bundle = 0, reference = 0;  // medians in ms; negative when a run failed
};

// The program run alternately on the bundle and on `python`.
StartUp compare(const std::string& run_in_bundle, const std::string& installed,
                const std::string& python, const std::string& program) {
  std::vector<double> bundle, reference;
  for (int i = 0; i < kWarmUp + kRuns; ++i) {
    const double b = time_run({run_in_bundle, installed, program});
    const double p = time_run({python, program});
    if (b < 0 || p < 0) {
      std::fprintf(stderr, "bench_bundle: a run of %s failed (bundle %.1f, python3 %.1f)\n",
                   program.c_str(), b, p);
      return {-1, -1};
    }
    if (i >= kWarmUp) {
      bundle.push_back(b);
      reference.push_back(p);
    }
  }
  return {median(bundle), median(reference)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fputs("usage: bench_bundle INSTALLED RUN_IN_BUNDLE PYTHON3 [NUMPY_INSTALLED VENV_PYTHON3]\n",
               stderr);
    return 2;
  }
  const std::string installed = std::filesystem::canonical(argv[1]);
  const std::string run_in_bundle = argv[2], python = argv[3];
  const double size = disk_usage_mb(installed);
  std::vector<std::string> read_only = {installed};
  std::string numpy_installed, venv_python;
  double numpy_size = 0;
  if (argc == 6) {
    numpy_installed = std::filesystem::canonical(argv[4]);
    venv_python = argv[5];
    numpy_size = disk_usage_mb(numpy_installed);
    read_only.push_back(numpy_installed);
  }

  char scratch[] = "/tmp/bench_bundle.XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  const std::string program = std::string(scratch) + "/imports.py";
  const std::string numpy_program = std::string(scratch) + "/numpy_start.py";
  std::ofstream(program) << kProgram;
  std::ofstream(numpy_program) << kNumpyProgram;
  unsetenv("PYTHONDONTWRITEBYTECODE");
  unsetenv("PYTHONHOME");
  unsetenv("PYTHONPATH");
  if (!make_read_only(read_only)) return 1;

  const StartUp common = compare(run_in_bundle, installed, python, program);
  StartUp numpy;
  if (!numpy_installed.empty()) numpy = compare(run_in_bundle, numpy_installed, venv_python, numpy_program);
  std::filesystem::remove_all(scratch);
  if (common.bundle < 0 || numpy.bundle < 0) return 1;

  std::printf("\n| Installed bundle | Bundle | Reference | Bundle / reference |\n");
  std::printf("|---|---|---|---|\n");
  std::printf("| Installed size on disk, the demo's packages included, vs target | %.1f MB | 30 MB | %.2f |\n",
              size, size / 30.0);
  std::printf("| Start-up to the end of a program importing 16 common modules, read-only install, "
              "vs `python3` on the same program (median of %d) | %.0f ms | %.0f ms | %.2f |\n",
              kRuns, common.bundle, common.reference, common.bundle / common.reference);
  if (!numpy_installed.empty()) {
    std::printf("| Installed size on disk with numpy as the program's package | %.1f MB | | |\n",
                numpy_size);
    std::printf("| Start-up to the end of a program importing numpy, read-only install, vs "
                "`python3` in a venv with the same numpy (median of %d) | %.0f ms | %.0f ms | %.2f |\n",
                kRuns, numpy.bundle, numpy.reference, numpy.bundle / numpy.reference);
  }
  return 0;
}
