// The program's signals reach the program's thread.
//
// Under python3 a signal sent to the process goes to the main thread, the
// one that runs the program: a blocking call there is interrupted and the
// handler runs at once. Here the process's first thread is the host's (GTK's
// main loop), and the kernel offers a process-directed signal to it first.
// So every signal that the program handles or blocks gets a router as its
// disposition: on any other thread the router passes the signal on to the
// program's thread; on the program's thread it does what the program asked
// for (CPython's own handler), or, where the program asked for nothing, what
// the host had set up before the program started (GLib's handler for the
// signals that end the application, else the default action).
//
// Signals the program never touches keep the host's disposition. The
// synchronous ones (a fault belongs to the thread that caused it) are never
// routed.

#include <Python.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "norvale_internal.h"

namespace {

struct signal_route {
  struct sigaction host;    // the disposition before the program's session
  bool host_claimed;        // the host had a handler of its own then
  struct sigaction python;  // CPython's, while the program has a handler
  std::atomic<bool> python_handles{false};
  std::atomic<bool> routed{false};  // the router is the disposition
  bool program_blocks;              // the program's thread has blocked it
  bool touched;                     // the program set its disposition
};

signal_route g_routes[NSIG];
// The thread that runs the program (a kernel thread id); 0 without a session.
std::atomic<pid_t> g_program_thread{0};
// The process that thread belongs to: in a child made by fork, until the
// fork handler has run, g_program_thread still names the parent's thread.
std::atomic<pid_t> g_program_process{0};
// The process whose host (the application's main loop) the session serves.
std::atomic<pid_t> g_session_process{0};
// Signals being passed on to the program's thread right now.
std::atomic<int> g_in_flight{0};

bool is_routable(int sig) {
  if (sig <= 0 || sig >= NSIG) return false;
  switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGTRAP:
    case SIGSYS:
      return false;
    default:
      return true;
  }
}

pid_t this_thread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// In a child made by fork there is no host main loop for the host's handlers
// to wake: there the default action stands in for them. Asked of the process
// itself, so that it holds from the child's first instruction on, before any
// fork handler has run. getpid is a system call, safe in a handler.
bool host_gone() { return getpid() != g_session_process.load(); }

bool is_handler(const struct sigaction& action) {
  if ((action.sa_flags & SA_SIGINFO) != 0) return action.sa_sigaction != nullptr;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

bool is_ignored(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

void call(const struct sigaction& action, int sig, siginfo_t* info, void* context) {
  if ((action.sa_flags & SA_SIGINFO) != 0) {
    action.sa_sigaction(sig, info, context);
  } else {
    action.sa_handler(sig);
  }
}

// What the signal does without any handler: for most it ends or stops the
// process, which only the kernel can do, so the router steps aside for it.
void take_default_action(int sig) {
  if (sig == SIGCHLD || sig == SIGURG || sig == SIGWINCH || sig == SIGCONT) return;
  struct sigaction router {};
  sigaction(sig, nullptr, &router);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigset_t before;
  pthread_sigmask(SIG_UNBLOCK, &only, &before);
  raise(sig);  // ends here, unless the process was only stopped
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  sigaction(sig, &router, nullptr);
}

void deliver_here(int sig, siginfo_t* info, void* context) {
  const signal_route& route = g_routes[sig];
  if (route.python_handles.load(std::memory_order_acquire)) {
    call(route.python, sig, info, context);
  } else if (!host_gone() && is_handler(route.host)) {
    call(route.host, sig, info, context);
  } else if (!is_ignored(route.host)) {
    take_default_action(sig);
  }
}

void route_signal(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const pid_t program = g_program_thread.load();
  // A child made by fork whose fork handler has not run yet has one thread:
  // this one.
  const bool program_here = g_program_process.load() == getpid();
  if (program != 0 && program_here && this_thread() != program) {
    g_in_flight.fetch_add(1);
    // The program's thread takes it at its next return from the kernel,
    // which interrupts a blocking call there. A signal that a process sent
    // keeps its sender, so that sigwaitinfo there still names it; only a
    // queued signal may carry one to another thread (SI_QUEUE for SI_USER).
    bool queued = false;
    if (info != nullptr && info->si_code == SI_USER) {
      siginfo_t passed = *info;
      passed.si_code = SI_QUEUE;
      queued = syscall(SYS_rt_tgsigqueueinfo, getpid(), program, sig, &passed) == 0;
    }
    if (!queued && syscall(SYS_tgkill, getpid(), program, sig) != 0) {
      deliver_here(sig, info, context);
    }
    g_in_flight.fetch_sub(1);
  } else {
    deliver_here(sig, info, context);
  }
  errno = saved_errno;
}

bool is_router(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == route_signal;
}

// The router in place of the disposition, interrupting system calls as
// `like` does: CPython's handler interrupts them, so that its handlers run.
void install_router(int sig, const struct sigaction& like) {
  struct sigaction router {};
  router.sa_sigaction = route_signal;
  router.sa_flags = SA_SIGINFO | (like.sa_flags & (SA_RESTART | SA_ONSTACK | SA_NOCLDSTOP));
  router.sa_mask = like.sa_mask;
  sigaction(sig, &router, nullptr);
  g_routes[sig].routed.store(true);
}

void give_back_to_host(int sig) {
  signal_route& route = g_routes[sig];
  route.python_handles.store(false);
  route.routed.store(false);
  sigaction(sig, &route.host, nullptr);
}

void on_fork_child() {
  if (g_program_thread.load() == 0) return;
  // The thread that forked is the child's only one: the program's now.
  g_program_thread.store(this_thread());
  g_program_process.store(getpid());
  g_in_flight.store(0);
}

bool on_program_thread() { return this_thread() == g_program_thread.load(); }

// ---- What the session's set-up code calls ---------------------------------------

// route(signalnum, handler): after the program set a disposition through
// _signal.signal, which installed it already.
PyObject* py_route(PyObject*, PyObject* args) {
  int sig = 0;
  PyObject* handler = nullptr;
  if (!PyArg_ParseTuple(args, "iO:route", &sig, &handler)) return nullptr;
  if (!is_routable(sig)) Py_RETURN_NONE;
  signal_route& route = g_routes[sig];
  route.touched = true;
  if (PyCallable_Check(handler)) {
    sigaction(sig, nullptr, &route.python);  // CPython's handler
    route.python_handles.store(true, std::memory_order_release);
    install_router(sig, route.python);
    Py_RETURN_NONE;
  }
  route.python_handles.store(false);
  const bool ignore = PyLong_Check(handler) && PyLong_AsLong(handler) == 1;  // SIG_IGN
  if (ignore) {
    route.routed.store(false);  // CPython ignores it already
  } else if (route.program_blocks) {
    install_router(sig, route.host);  // still passed on, for sigwait
  } else if (route.host_claimed && !host_gone()) {
    give_back_to_host(sig);  // the application's default: its own handling
  } else {
    route.routed.store(false);  // CPython restored the default already
  }
  Py_RETURN_NONE;
}

// host_claims(signalnum): whether the host handled the signal before the
// program started, so that "no Python handler" means the application's
// default (which the program sees as SIG_DFL).
PyObject* py_host_claims(PyObject*, PyObject* args) {
  int sig = 0;
  if (!PyArg_ParseTuple(args, "i:host_claims", &sig)) return nullptr;
  return PyBool_FromLong(is_routable(sig) && g_routes[sig].host_claimed ? 1 : 0);
}

// note_blocked(): after the program changed its thread's signal mask. A
// signal blocked on the program's thread must still be passed on to it, so
// that sigwait there takes it instead of another thread's default action.
PyObject* py_note_blocked(PyObject*, PyObject*) {
  if (!on_program_thread()) Py_RETURN_NONE;
  sigset_t mask;
  if (pthread_sigmask(SIG_BLOCK, nullptr, &mask) != 0) Py_RETURN_NONE;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!is_routable(sig)) continue;
    signal_route& route = g_routes[sig];
    if (sigismember(&mask, sig) != 1) {
      // No longer blocked and not handled by the program: the host takes it
      // again at once, on whichever thread it arrives. Passing it on would
      // only delay the host's handling (the end of the application) by as
      // long as the program's thread takes to run.
      struct sigaction current {};
      if (route.program_blocks && !route.python_handles.load() && route.host_claimed &&
          !host_gone() && sigaction(sig, nullptr, &current) == 0 && is_router(current)) {
        give_back_to_host(sig);
      }
      route.program_blocks = false;
      continue;
    }
    route.program_blocks = true;
    route.touched = true;
    struct sigaction current {};
    sigaction(sig, nullptr, &current);
    if (!is_router(current) && !is_ignored(current)) {
      install_router(sig, route.python_handles.load() ? route.python : current);
    }
  }
  Py_RETURN_NONE;
}

// on_program_thread(): whether the caller is the program's thread.
PyObject* py_on_program_thread(PyObject*, PyObject*) {
  return PyBool_FromLong(on_program_thread() ? 1 : 0);
}

// touched(): the signals whose disposition the program changed.
PyObject* py_touched(PyObject*, PyObject*) {
  PyObject* list = PyList_New(0);
  for (int sig = 1; list != nullptr && sig < NSIG; ++sig) {
    if (!is_routable(sig) || !g_routes[sig].touched) continue;
    PyObject* number = PyLong_FromLong(sig);
    if (number == nullptr || PyList_Append(list, number) != 0) {
      Py_XDECREF(number);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(number);
  }
  return list;
}

// restore_host(signalnum): the host's disposition again, once CPython has
// forgotten the program's handler.
PyObject* py_restore_host(PyObject*, PyObject* args) {
  int sig = 0;
  if (!PyArg_ParseTuple(args, "i:restore_host", &sig)) return nullptr;
  if (is_routable(sig)) {
    give_back_to_host(sig);
    g_routes[sig].touched = false;
    g_routes[sig].program_blocks = false;
  }
  Py_RETURN_NONE;
}

PyObject* py_drain(PyObject*, PyObject*) {
  signal_routing_drain();
  Py_RETURN_NONE;
}

PyMethodDef g_helpers[] = {
    {"_route", py_route, METH_VARARGS, nullptr},
    {"_host_claims", py_host_claims, METH_VARARGS, nullptr},
    {"_note_blocked", py_note_blocked, METH_NOARGS, nullptr},
    {"_on_program_thread", py_on_program_thread, METH_NOARGS, nullptr},
    {"_touched", py_touched, METH_NOARGS, nullptr},
    {"_restore_host", py_restore_host, METH_VARARGS, nullptr},
    {"_drain", py_drain, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void signal_routing_begin(void) {
  static pthread_once_t registered = PTHREAD_ONCE_INIT;
  pthread_once(&registered, [] { pthread_atfork(nullptr, nullptr, on_fork_child); });
  g_session_process.store(getpid());
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!is_routable(sig)) continue;
    signal_route& route = g_routes[sig];
    struct sigaction current {};
    sigaction(sig, nullptr, &current);
    // A router left by an earlier session is not the host's.
    if (!is_router(current)) route.host = current;
    route.host_claimed = is_handler(route.host);
    route.python_handles.store(false);
    route.routed.store(false);
    route.program_blocks = false;
    route.touched = false;
  }
  g_program_thread.store(this_thread());
  g_program_process.store(getpid());
}

void signal_routing_end(void) {
  g_program_thread.store(0);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!is_routable(sig)) continue;
    signal_route& route = g_routes[sig];
    if (route.routed.load() || route.touched) give_back_to_host(sig);
    route.touched = false;
    route.program_blocks = false;
  }
}

bool signal_routing_python_handles(int sig) {
  return is_routable(sig) && g_routes[sig].python_handles.load();
}

void signal_routing_drain(void) {
  if (g_in_flight.load() != 0) {
    PyThreadState* saved = PyEval_SaveThread();
    // Bounded: a forwarding thread that is stopped must not hold the end.
    for (int i = 0; i < 1000 && g_in_flight.load() != 0; ++i) usleep(100);
    PyEval_RestoreThread(saved);
  }
  // A return from the kernel delivers what was passed on to this thread.
  sched_yield();
}

int signal_routing_add_helpers(PyObject* scope) {
  for (PyMethodDef* def = g_helpers; def->ml_name != nullptr; ++def) {
    PyObject* function = PyCFunction_New(def, nullptr);
    int stored = function != nullptr ? PyDict_SetItemString(scope, def->ml_name, function) : -1;
    Py_XDECREF(function);
    if (stored != 0) return -1;
  }
  return 0;
}
