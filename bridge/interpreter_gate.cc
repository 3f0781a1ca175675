// How threads from outside Python enter the running interpreter.
//
// Two concerns meet here. A delivery must never meet a finalising
// interpreter: once a session starts to end, the gate is closed, callers
// that are inside are waited for, and later callers turn back without
// touching Python. And a Dart thread that delivers often keeps one Python
// thread state for as long as the interpreter lives, so that each delivery
// only takes and hands back the interpreter lock instead of creating and
// destroying a thread state.

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "norvale_internal.h"

// The callers inside one interpreter start's session. A session's end waits
// for its own callers only, so that one it had to give up on (see
// python_gate_close) never holds a later session's end. Never freed, since
// a caller may still hold it; each keeps the one before it.
struct gate_count {
  std::atomic<int> inside{0};
  gate_count* earlier = nullptr;
};

namespace {

// The running session's count; closed from the moment a session starts to
// end until the next session's program is about to run, and before the first.
std::atomic<gate_count*> g_count{new gate_count};
std::atomic<bool> g_closing{true};
// Counts interpreter starts, so a thread state of an earlier one is never used.
std::atomic<uint64_t> g_generation{0};
std::atomic<PyInterpreterState*> g_interpreter{nullptr};

// How long a session's end waits for callers that are inside Python.
constexpr std::chrono::milliseconds kDeliveryGrace{1000};

void release_cached_thread_state(PyThreadState* state, uint64_t generation);

// The thread state this thread keeps for deliveries.
struct cached_thread_state {
  PyThreadState* state = nullptr;
  uint64_t generation = 0;

  ~cached_thread_state() { release_cached_thread_state(state, generation); }
};
thread_local cached_thread_state t_cached;

// The count the caller entered with, or NULL when it must turn back.
gate_count* gate_enter() {
  gate_count* count = g_count.load();
  count->inside.fetch_add(1);
  if (!g_closing.load() && g_count.load() == count && Py_IsInitialized()) return count;
  count->inside.fetch_sub(1);
  return nullptr;
}

void gate_leave(gate_count* count) { count->inside.fetch_sub(1); }

// This thread's own thread state of the running interpreter, made on first
// use; NULL when the interpreter was not started here.
PyThreadState* cached_state() {
  uint64_t generation = g_generation.load();
  if (t_cached.state != nullptr && t_cached.generation == generation) return t_cached.state;
  // A state of an earlier interpreter went with its finalisation.
  t_cached.state = nullptr;
  PyInterpreterState* interpreter = g_interpreter.load();
  if (interpreter == nullptr) return nullptr;
  t_cached.state = PyThreadState_New(interpreter);
  t_cached.generation = generation;
  return t_cached.state;
}

// At thread exit: a state of the running interpreter is cleared and deleted;
// one of an ended interpreter is already gone.
void release_cached_thread_state(PyThreadState* state, uint64_t generation) {
  if (state == nullptr) return;
  gate_count* count = gate_enter();
  if (count == nullptr) return;
  if (generation == g_generation.load()) {
    PyEval_RestoreThread(state);
    PyThreadState_Clear(state);
    PyEval_SaveThread();
    PyThreadState_Delete(state);
  }
  gate_leave(count);
}

}  // namespace

bool python_enter(python_entry* entry) {
  entry->count = gate_enter();
  if (entry->count == nullptr) return false;
  PyThreadState* known = PyGILState_GetThisThreadState();
  PyThreadState* state = nullptr;
  if (known == nullptr) {
    state = cached_state();
  } else if (known == t_cached.state && t_cached.generation == g_generation.load()) {
    state = known;
  }
  if (state != nullptr) {
    PyEval_RestoreThread(state);
    entry->cached = true;
  } else {
    // A thread Python knows already (one of its own, or the session's), or
    // an interpreter that was started elsewhere.
    entry->gil_state = static_cast<int>(PyGILState_Ensure());
    entry->cached = false;
  }
  return true;
}

void python_leave(python_entry* entry) {
  if (entry->cached) {
    PyEval_SaveThread();
  } else {
    PyGILState_Release(static_cast<PyGILState_STATE>(entry->gil_state));
  }
  gate_leave(entry->count);
}

void python_gate_open(void) {
  g_interpreter.store(PyInterpreterState_Get());
  g_generation.fetch_add(1);
  auto* count = new gate_count;
  count->earlier = g_count.load();
  g_count.store(count);
  g_closing.store(false);
}

void python_gate_close(void) {
  g_closing.store(true);
  g_interpreter.store(nullptr);
  gate_count* count = g_count.load();
  if (count->inside.load() == 0) return;
  // Callers inside may be waiting for the lock that this thread holds. A
  // handler still inside after the grace period waits for something that
  // will not come (typically the program, which has ended): the session ends
  // without it, as python3 ends without a daemon thread that is still
  // blocked. Its thread never returns from the delivery: CPython parks it
  // (3.14) or ends it (earlier versions) when it next reaches for the
  // finalised interpreter.
  PyThreadState* self = PyEval_SaveThread();
  const auto deadline = std::chrono::steady_clock::now() + kDeliveryGrace;
  while (count->inside.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  PyEval_RestoreThread(self);
  if (const int left = count->inside.load(); left > 0) {
    std::fprintf(stderr,
                 "[kestrune_run] %d message handler call%s still running %lld ms after the "
                 "program's end; the session ends without %s\n",
                 left, left == 1 ? "" : "s", static_cast<long long>(kDeliveryGrace.count()),
                 left == 1 ? "it" : "them");
  }
}
