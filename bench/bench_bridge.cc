// Benchmarks of the bridge against the limit of an in-process call and
// against the alternative of a Python subprocess over a socket. Every
// comparison runs side by side in one process, so the ratios hold on a
// noisy machine. After the runs a table of the comparisons is printed.

#include <Python.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dart_vm_standin.h"
#include "norvale.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Ports of the running program.
constexpr int64_t kIdlePort = 1;   // handler does nothing
constexpr int64_t kEchoPort = 2;   // handler replies with the payload
constexpr int64_t kBusyOn = 3;     // starts a computing Python thread
constexpr int64_t kBusyOff = 4;    // stops it

PyObject* g_idle_handler = nullptr;  // the program's own handler, for the limit
PyObject* g_send_loop = nullptr;     // code objects run by the Python-side benchmarks
PyObject* g_noop_loop = nullptr;
PyObject* g_main_dict = nullptr;

PyObject* bench_ready(PyObject*, PyObject* handler) {
  Py_INCREF(handler);
  g_idle_handler = handler;
  Py_RETURN_NONE;
}

PyObject* bench_noop(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* make_bench_module() {
  static PyMethodDef methods[] = {{"ready", bench_ready, METH_O, nullptr},
                                  {"noop", bench_noop, METH_VARARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};
  static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_bench", nullptr, -1, methods,
                            nullptr, nullptr, nullptr, nullptr};
  return PyModule_Create2(&def, 3);
}

constexpr const char kProgram[] = R"(
import os, threading, norvale, _bench
reply = int(os.environ["BENCH_REPLY_PORT"])
busy = threading.Event()
def idle(payload):
    pass
def echo(payload):
    norvale.send_bytes(reply, payload)
def compute():
    while busy.is_set():
        sum(range(1000))
def busy_on(payload):
    busy.set()
    threading.Thread(target=compute, daemon=True).start()
def busy_off(payload):
    busy.clear()
norvale.set_enqueue_handler_func(1, idle)
norvale.set_enqueue_handler_func(2, echo)
norvale.set_enqueue_handler_func(3, busy_on)
norvale.set_enqueue_handler_func(4, busy_off)
_bench.ready(idle)
norvale.send_bytes(reply, b"ready")
threading.Event().wait()
)";

int64_t g_reply_port = 0;
int64_t g_sink_port = 0;

void wait_reply() {
  standin_dart_message message{};
  if (!standin_dart_vm_wait_message(g_reply_port, 10000, &message)) {
    std::fprintf(stderr, "no reply from the program\n");
    std::exit(1);
  }
  standin_dart_message_clear(&message);
}

// Starts the long-running program once, on a worker thread.
void ensure_program() {
  static bool started = [] {
    g_reply_port = Dart_NewNativePort("reply", nullptr, false);
    g_sink_port = Dart_NewNativePort("sink", [](Dart_Port, Dart_CObject*) {}, false);
    std::string reply = std::to_string(g_reply_port);
    const char* names[] = {"BENCH_REPLY_PORT", nullptr};
    const char* values[] = {reply.c_str(), nullptr};
    kestrune_run_config config{};
    config.mode = 1;
    config.script_source = kProgram;
    config.env_names = names;
    config.env_values = values;
    if (kestrune_run(&config) != 0) std::exit(1);
    wait_reply();
    PyGILState_STATE gil = PyGILState_Ensure();
    g_main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
    std::string sink = std::to_string(g_sink_port);
    g_send_loop = Py_CompileString(
        ("p = b'x' * 64\nfor _ in range(1000): norvale.send_bytes(" + sink + ", p)\n").c_str(),
        "<send loop>", Py_file_input);
    g_noop_loop = Py_CompileString(
        ("p = b'x' * 64\nf = _bench.noop\nfor _ in range(1000): f(" + sink + ", p)\n").c_str(),
        "<noop loop>", Py_file_input);
    PyGILState_Release(gil);
    return true;
  }();
  (void)started;
}

// Runs a benchmark's loop on a new thread that Python has never seen, as a
// Dart VM thread would be.
template <typename Body>
void on_new_thread(benchmark::State& state, Body body) {
  std::thread([&] { body(state); }).join();
}

std::vector<uint8_t>& payload(size_t size) {
  static std::map<size_t, std::vector<uint8_t>> buffers;
  auto& buffer = buffers[size];
  if (buffer.size() != size) buffer.assign(size, 0x5a);
  return buffer;
}

void deliver_loop(benchmark::State& state) {
  auto& data = payload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    if (Norvale_EnqueueMessage(kIdlePort, data.data(), static_cast<int64_t>(data.size())) != 0) {
      state.SkipWithError("delivery failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Deliver(benchmark::State& state) {
  ensure_program();
  on_new_thread(state, deliver_loop);
}

// The plainest correct C code for the same call.
void limit_loop(benchmark::State& state) {
  auto& data = payload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                static_cast<Py_ssize_t>(data.size()));
    PyObject* result = PyObject_CallFunctionObjArgs(g_idle_handler, bytes, nullptr);
    Py_XDECREF(result);
    Py_DECREF(bytes);
    PyGILState_Release(gil);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Limit(benchmark::State& state) {
  ensure_program();
  on_new_thread(state, limit_loop);
}

// The same plain code on a thread that keeps a thread state of its own
// between calls: one outer PyGILState_Ensure stays in force.
void BM_LimitKeptState(benchmark::State& state) {
  ensure_program();
  on_new_thread(state, [](benchmark::State& s) {
    PyGILState_STATE outer = PyGILState_Ensure();
    PyThreadState* kept = PyEval_SaveThread();
    limit_loop(s);
    PyEval_RestoreThread(kept);
    PyGILState_Release(outer);
  });
}

void BM_Memcpy(benchmark::State& state) {
  auto& data = payload(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> target(data.size());
  for (auto _ : state) {
    std::memcpy(target.data(), data.data(), data.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_RoundTrip(benchmark::State& state) {
  ensure_program();
  on_new_thread(state, [](benchmark::State& s) {
    auto& data = payload(static_cast<size_t>(s.range(0)));
    for (auto _ : s) {
      Norvale_EnqueueMessage(kEchoPort, data.data(), static_cast<int64_t>(data.size()));
      wait_reply();
    }
  });
}

// The same exchange with a Python subprocess over a Unix socket pair.
class SocketPeer {
 public:
  SocketPeer() {
    int fds[2];
    // Only the child's end is inherited, so the child sees our close.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::exit(1);
    fcntl(fds[1], F_SETFD, 0);
    fd_ = fds[0];
    std::string child_fd = std::to_string(fds[1]);
    std::string code =
        "import socket, struct\n"
        "s = socket.socket(fileno=" + child_fd + ")\n"
        "def exact(n):\n"
        "    b = bytearray()\n"
        "    while len(b) < n:\n"
        "        c = s.recv(n - len(b))\n"
        "        if not c: raise SystemExit\n"
        "        b += c\n"
        "    return bytes(b)\n"
        "while True:\n"
        "    n, = struct.unpack('<q', exact(8))\n"
        "    s.sendall(struct.pack('<q', n) + exact(n))\n";
    const char* python = std::getenv("NORVALE_BENCH_PYTHON");
    std::vector<std::string> args = {python != nullptr ? python : "python3", "-I", "-c", code};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) std::exit(1);
    close(fds[1]);
  }
  ~SocketPeer() {
    close(fd_);
    waitpid(pid_, nullptr, 0);
  }
  void exchange(const std::vector<uint8_t>& data) {
    int64_t n = static_cast<int64_t>(data.size());
    write_all(&n, sizeof n);
    write_all(data.data(), data.size());
    read_all(&n, sizeof n);
    reply_.resize(static_cast<size_t>(n));
    read_all(reply_.data(), reply_.size());
  }

 private:
  void write_all(const void* p, size_t n) {
    auto* c = static_cast<const char*>(p);
    while (n > 0) {
      ssize_t w = write(fd_, c, n);
      if (w <= 0) std::exit(1);
      c += w;
      n -= static_cast<size_t>(w);
    }
  }
  void read_all(void* p, size_t n) {
    auto* c = static_cast<char*>(p);
    while (n > 0) {
      ssize_t r = read(fd_, c, n);
      if (r <= 0) std::exit(1);
      c += r;
      n -= static_cast<size_t>(r);
    }
  }
  int fd_ = -1;
  pid_t pid_ = -1;
  std::vector<uint8_t> reply_;
};

void BM_SocketRoundTrip(benchmark::State& state) {
  SocketPeer peer;
  auto& data = payload(static_cast<size_t>(state.range(0)));
  peer.exchange(data);  // the child is up
  for (auto _ : state) peer.exchange(data);
}

// One iteration: 1000 calls from a Python loop.
void run_python_loop(benchmark::State& state, PyObject* loop) {
  ensure_program();
  for (auto _ : state) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* result = PyEval_EvalCode(loop, g_main_dict, g_main_dict);
    if (result == nullptr) PyErr_Print();
    Py_XDECREF(result);
    PyGILState_Release(gil);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_SendBytesLoop(benchmark::State& state) { run_python_loop(state, g_send_loop); }
void BM_NoopCallLoop(benchmark::State& state) {
  ensure_program();
  run_python_loop(state, g_noop_loop);
}

// send_bytes against a VM whose post takes the message without copying it,
// which leaves the bridge's own cost.
bool accept_post(Dart_Port, Dart_CObject*) { return true; }

void BM_SendBytesLoopBareVm(benchmark::State& state) {
  ensure_program();
  static const standin_dart_api_entry accepting[] = {
      {"Dart_PostCObject", reinterpret_cast<void (*)(void)>(accept_post)}, {nullptr, nullptr}};
  standin_dart_api_data block = {2, 0, accepting};
  Norvale_InitDartApiDL(&block);
  run_python_loop(state, g_send_loop);
  Norvale_InitDartApiDL(standin_dart_vm_api_dl_data());
}

// Latency of single deliveries while a Python thread computes.
void BM_DeliverWhileBusy(benchmark::State& state) {
  ensure_program();
  const uint8_t byte = 0;
  Norvale_EnqueueMessage(kBusyOn, &byte, 1);
  std::vector<double> samples;
  for (auto _ : state) {
    samples.clear();
    for (int i = 0; i < 100; ++i) {
      // Spaced like user input, so the computing thread holds the lock again.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      auto start = Clock::now();
      Norvale_EnqueueMessage(kIdlePort, &byte, 1);
      samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  Norvale_EnqueueMessage(kBusyOff, &byte, 1);
  std::sort(samples.begin(), samples.end());
  state.counters["median_us"] = samples[samples.size() / 2];
  state.counters["max_us"] = samples.back();
  state.counters["p99_us"] = samples[samples.size() * 99 / 100];
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void BM_MemoryOverDeliveries(benchmark::State& state) {
  ensure_program();
  const uint8_t byte = 0;
  long first = 0, last = 0;
  for (auto _ : state) {
    for (int i = 0; i < 10000; ++i) Norvale_EnqueueMessage(kIdlePort, &byte, 1);
    first = resident_kib();
    for (int i = 0; i < 1000000; ++i) Norvale_EnqueueMessage(kIdlePort, &byte, 1);
    last = resident_kib();
  }
  state.counters["rss_first_kib"] = static_cast<double>(first);
  state.counters["rss_after_1M_kib"] = static_cast<double>(last);
}

int32_t run_empty_session() {
  kestrune_run_config config{};
  config.mode = 1;
  config.script_source = "";
  config.synchronous = 1;
  return kestrune_run(&config);
}

// Fresh sessions must run before the long-running program starts.
void BM_FreshSession(benchmark::State& state) {
  for (auto _ : state) {
    if (run_empty_session() != 0) state.SkipWithError("session failed");
  }
}

void BM_PythonProcess(benchmark::State& state) {
  const char* python = std::getenv("NORVALE_BENCH_PYTHON");
  std::string exe = python != nullptr ? python : "python3";
  std::string isolated = "-I", flag = "-c", code = "pass";
  char* argv[] = {exe.data(), isolated.data(), flag.data(), code.data(), nullptr};
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("spawn failed");
      break;
    }
    waitpid(pid, nullptr, 0);
  }
}

// The interpreter's own share: the same cycles with nothing but CPython.
void BM_MemoryOverBareCycles(benchmark::State& state) {
  long first = 0, last = 0;
  for (auto _ : state) {
    Py_Initialize();
    Py_Finalize();
    first = resident_kib();
    for (int i = 1; i < 200; ++i) {
      Py_Initialize();
      Py_Finalize();
    }
    last = resident_kib();
  }
  state.counters["rss_first_kib"] = static_cast<double>(first);
  state.counters["rss_after_200_kib"] = static_cast<double>(last);
}

void BM_MemoryOverSessions(benchmark::State& state) {
  long first = 0, last = 0;
  for (auto _ : state) {
    run_empty_session();
    first = resident_kib();
    for (int i = 1; i < 200; ++i) run_empty_session();
    last = resident_kib();
  }
  state.counters["rss_first_kib"] = static_cast<double>(first);
  state.counters["rss_after_200_kib"] = static_cast<double>(last);
}

// Keeps each run's time per iteration (ns) and counters, by name.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration && run.aggregate_name != "median") continue;
      std::string name = run.run_name.str();
      times[name] = run.GetAdjustedRealTime() *
                    (run.time_unit == benchmark::kMicrosecond   ? 1e3
                     : run.time_unit == benchmark::kMillisecond ? 1e6
                     : run.time_unit == benchmark::kSecond      ? 1e9
                                                                : 1.0);
      for (const auto& [key, counter] : run.counters) counters[name][key] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, std::map<std::string, double>> counters;
};

std::string human_size(int64_t n) {
  if (n >= (1 << 20)) return std::to_string(n >> 20) + " MiB";
  if (n >= (1 << 10)) return std::to_string(n >> 10) + " KiB";
  return std::to_string(n) + " B";
}

void print_table(Collector& c) {
  auto t = [&](const std::string& name) { return c.times.count(name) ? c.times[name] : 0.0; };
  std::printf("\n| Comparison | Bridge | Reference | Bridge / reference |\n|---|---|---|---|\n");
  for (int64_t size : {0, 64, 4096, 1 << 20, 16 << 20}) {
    std::string arg = "/" + std::to_string(size);
    double ours = t("BM_Deliver" + arg), limit = t("BM_Limit" + arg);
    double kept = t("BM_LimitKeptState" + arg);
    std::printf("| Delivery %s vs plain C call (new thread state per call) | %.3f us | %.3f us | %.3f |\n",
                human_size(size).c_str(), ours / 1e3, limit / 1e3, ours / limit);
    std::printf("| Delivery %s vs plain C call (thread state kept) | %.3f us | %.3f us | %.2f |\n",
                human_size(size).c_str(), ours / 1e3, kept / 1e3, ours / kept);
    if (size >= (1 << 20)) {
      double copy = t("BM_Memcpy" + arg);
      std::printf("| Delivery %s vs memcpy: bandwidth | %.2f GB/s | %.2f GB/s | %.0f%% |\n",
                  human_size(size).c_str(), static_cast<double>(size) / ours,
                  static_cast<double>(size) / copy, 100 * copy / ours);
    }
  }
  for (int64_t size : {64, 4096, 1 << 20}) {
    std::string arg = "/" + std::to_string(size);
    double ours = t("BM_RoundTrip" + arg), socket = t("BM_SocketRoundTrip" + arg);
    std::printf("| Round trip %s vs Python subprocess over a socket | %.2f us | %.2f us | %.4f (%.0fx faster) |\n",
                human_size(size).c_str(), ours / 1e3, socket / 1e3, ours / socket, socket / ours);
  }
  double send = t("BM_SendBytesLoop") / 1000, bare = t("BM_SendBytesLoopBareVm") / 1000;
  double noop = t("BM_NoopCallLoop") / 1000;
  std::printf("| send_bytes 64 B from Python (stand-in VM copies) vs no-op C call | %.3f us | %.3f us | %.2f |\n",
              send / 1e3, noop / 1e3, send / noop);
  std::printf("| send_bytes 64 B from Python (VM takes it without copy) vs no-op C call | %.3f us | %.3f us | %.2f |\n",
              bare / 1e3, noop / 1e3, bare / noop);
  auto& busy = c.counters["BM_DeliverWhileBusy/iterations:5"];
  std::printf("| Delivery while a Python thread computes: median / p99 / max | %.0f / %.0f / %.0f us | switch interval 5000 us | |\n",
              busy["median_us"], busy["p99_us"], busy["max_us"]);
  double fresh = t("BM_FreshSession"), process = t("BM_PythonProcess");
  std::printf("| Fresh session (start, run empty program, finalise) vs `python3 -I -c pass` | %.2f ms | %.2f ms | %.2f |\n",
              fresh / 1e6, process / 1e6, fresh / process);
  auto growth = [&](const char* name, const char* key) {
    auto& m = c.counters[name];
    return m[key] - m["rss_first_kib"];
  };
  std::printf("| RSS growth over 200 sessions vs 200 bare Py_Initialize/Py_Finalize | +%.0f KiB | +%.0f KiB | %.2f |\n",
              growth("BM_MemoryOverSessions/iterations:1", "rss_after_200_kib"),
              growth("BM_MemoryOverBareCycles/iterations:1", "rss_after_200_kib"),
              growth("BM_MemoryOverSessions/iterations:1", "rss_after_200_kib") /
                  growth("BM_MemoryOverBareCycles/iterations:1", "rss_after_200_kib"));
  std::printf("| RSS growth over 1M deliveries (after the first 10k) | %+.0f KiB | | |\n",
              growth("BM_MemoryOverDeliveries/iterations:1", "rss_after_1M_kib"));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Norvale_InitDartApiDL(standin_dart_vm_api_dl_data());
  kestrune_register_extension("_bench", make_bench_module);

  // Without a running program: fresh starts.
  benchmark::RegisterBenchmark("BM_MemoryOverBareCycles", BM_MemoryOverBareCycles)->Iterations(1);
  benchmark::RegisterBenchmark("BM_MemoryOverSessions", BM_MemoryOverSessions)->Iterations(1);
  benchmark::RegisterBenchmark("BM_FreshSession", BM_FreshSession)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_PythonProcess", BM_PythonProcess)->Unit(benchmark::kMillisecond);
  // With the program running on its worker thread.
  for (int64_t size : {0, 64, 4096, 1 << 20, 16 << 20}) {
    benchmark::RegisterBenchmark("BM_Deliver", BM_Deliver)->Arg(size);
    benchmark::RegisterBenchmark("BM_Limit", BM_Limit)->Arg(size);
    benchmark::RegisterBenchmark("BM_LimitKeptState", BM_LimitKeptState)->Arg(size);
    if (size >= (1 << 20)) benchmark::RegisterBenchmark("BM_Memcpy", BM_Memcpy)->Arg(size);
  }
  for (int64_t size : {64, 4096, 1 << 20}) {
    benchmark::RegisterBenchmark("BM_RoundTrip", BM_RoundTrip)->Arg(size);
    benchmark::RegisterBenchmark("BM_SocketRoundTrip", BM_SocketRoundTrip)->Arg(size);
  }
  benchmark::RegisterBenchmark("BM_SendBytesLoop", BM_SendBytesLoop);
  benchmark::RegisterBenchmark("BM_SendBytesLoopBareVm", BM_SendBytesLoopBareVm);
  benchmark::RegisterBenchmark("BM_NoopCallLoop", BM_NoopCallLoop);
  benchmark::RegisterBenchmark("BM_DeliverWhileBusy", BM_DeliverWhileBusy)->Iterations(5);
  benchmark::RegisterBenchmark("BM_MemoryOverDeliveries", BM_MemoryOverDeliveries)->Iterations(1);

  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  print_table(collector);
  benchmark::Shutdown();
  // The program still runs on its worker thread; end without finalising.
  std::fflush(stdout);
  kestrune_hard_exit(0);
}
