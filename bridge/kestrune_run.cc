// The embedded interpreter host: run requests, the interpreter session,
// session reuse, the extension registry, lifecycle controls and the entry for
// multiprocessing children.

#include <Python.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dart_api_dl.h"
#include "norvale.h"
#include "norvale_internal.h"

static_assert(sizeof(kestrune_run_config) == 72);
static_assert(offsetof(kestrune_run_config, mode) == 0);
static_assert(offsetof(kestrune_run_config, script_path) == 8);
static_assert(offsetof(kestrune_run_config, script_source) == 16);
static_assert(offsetof(kestrune_run_config, program_name) == 24);
static_assert(offsetof(kestrune_run_config, module_paths) == 32);
static_assert(offsetof(kestrune_run_config, env_names) == 40);
static_assert(offsetof(kestrune_run_config, env_values) == 48);
static_assert(offsetof(kestrune_run_config, synchronous) == 56);
static_assert(offsetof(kestrune_run_config, exit_port) == 64);

namespace {

struct registered_extension {
  char* name;
  kestrune_module_init init;
  registered_extension* next;  // the entry registered before this one
};

// Newest first; lives as long as the process.
registered_extension* g_registered_exts = nullptr;

constexpr int32_t kModeSource = 1;

// The thread that runs the current program; guarded by the interpreter lock.
unsigned long g_session_thread = 0;

constexpr const char kModulePathSource[] =
    "import sys, os, site\n"
    "_kestrune_norm = {os.path.normcase(os.path.abspath(_p)) for _p in _kestrune_paths}\n"
    "sys.path[:] = [_p for _p in sys.path\n"
    "               if os.path.normcase(os.path.abspath(_p)) not in _kestrune_norm]\n"
    "sys.path[:0] = _kestrune_paths\n"
    "for _p in _kestrune_paths:\n"
    "    if os.path.isdir(_p):\n"
    "        site.addsitedir(_p)\n";

// Environment variables that carry bridge ports, and the labels under which
// a running program receives them.
struct known_port {
  const char* variable;
  const char* label;
};
constexpr known_port known[] = {
    {"ZEMTRA_NORVALE_PORT", "protocol"},
    {"ZEMTRA_NORVALE_EXIT_PORT", "exit"},
};
constexpr int kMaxCollectedPorts = 8;

char* dup_string(const char* source) { return source != nullptr ? strdup(source) : nullptr; }

bool starts_with(const char* text, std::string_view prefix) {
  return std::strncmp(text, prefix.data(), prefix.size()) == 0;
}

void free_string_array(char** array) {
  if (array == nullptr) return;
  for (char** entry = array; *entry != nullptr; ++entry) std::free(*entry);
  std::free(array);
}

// What the environment outside the application must not bring into its
// interpreter: the user's site-packages, and a PYTHONPATH that the run
// request did not give. Both are kept out while the interpreter starts and
// given back to the environment that the program and its children see.
bool request_sets(const kestrune_state* state, const char* variable) {
  for (size_t i = 0; i < state->env_count; ++i) {
    if (state->env_names[i] != nullptr && std::strcmp(state->env_names[i], variable) == 0) {
      return true;
    }
  }
  return false;
}

// Whether the user's site-packages of this CPython may exist, which
// CPython would put on sys.path: PYTHONUSERBASE's or ~/.local's.
bool user_site_may_exist() {
  std::string base;
  if (const char* user_base = getenv("PYTHONUSERBASE"); user_base != nullptr && *user_base != '\0') {
    base = user_base;
  } else if (const char* home = getenv("HOME"); home != nullptr && *home != '\0') {
    base = std::string(home) + "/.local";
  } else {
    return true;  // CPython would ask the password database: leave nothing to chance
  }
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
  char site[40];
  std::snprintf(site, sizeof site, "/lib/python%d.%d/site-packages", major, minor);
  struct stat status {};
  return stat((base + site).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Whether the locale that the environment names for the character set is
// the C locale, as python3 finds it at its start (an unknown name counts).
bool environment_names_c_locale() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = getenv(variable);
    if (value != nullptr && *value != '\0') {
      name = value;
      break;
    }
  }
  if (name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) {
    return true;
  }
  locale_t locale = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) return true;
  freelocale(locale);
  return false;
}

// python3 runs in UTF-8 mode where PYTHONUTF8=1 asks for it, or, unless
// PYTHONUTF8=0 forbids it, where the character set's locale is C; an
// embedded start leaves it off unless told.
void choose_utf8_mode() {
  const char* asked = getenv("PYTHONUTF8");
  const int mode = asked != nullptr && *asked != '\0' ? std::strcmp(asked, "1") == 0
                                                      : environment_names_c_locale();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Py_UTF8Mode = mode;  // the only way the stable ABI has to say it
#pragma GCC diagnostic pop
}

// Before the interpreter starts: the PYTHONPATH taken out (owned), or NULL;
// `*no_user_site_set` tells whether PYTHONNOUSERSITE was set for the start.
char* keep_outside_paths_out(const kestrune_state* state, bool* no_user_site_set) {
  char* pythonpath = nullptr;
  const char* value = getenv("PYTHONPATH");
  if (value != nullptr && !request_sets(state, "PYTHONPATH")) {
    pythonpath = strdup(value);
    process_environment_unset("PYTHONPATH");
  }
  *no_user_site_set = getenv("PYTHONNOUSERSITE") == nullptr && user_site_may_exist() &&
                      process_environment_set("PYTHONNOUSERSITE", "1");
  return pythonpath;
}

// Where the session ends before its set-up gave them back.
void give_outside_paths_back(char* pythonpath, bool no_user_site_set) {
  if (pythonpath != nullptr) process_environment_set("PYTHONPATH", pythonpath);
  std::free(pythonpath);
  if (no_user_site_set) process_environment_unset("PYTHONNOUSERSITE");
}

bool apply_environment(const kestrune_state* state) {
  for (size_t i = 0; i < state->env_count; ++i) {
    const char* name = state->env_names[i];
    const char* value = state->env_values[i];
    if (name == nullptr || value == nullptr || !process_environment_set(name, value)) {
      std::fprintf(stderr, "[kestrune_run] failed to set env var %s\n",
                   name != nullptr ? name : "<null>");
      return false;
    }
  }
  return true;
}

bool register_builtin_modules() {
  if (PyImport_AppendInittab("norvale", PyInit_norvale) != 0) {
    std::fputs("[kestrune_run] inittab append failed for norvale\n", stderr);
    return false;
  }
  for (registered_extension* ext = g_registered_exts; ext != nullptr; ext = ext->next) {
    if (PyImport_AppendInittab(ext->name, ext->init) != 0) {
      std::fprintf(stderr, "[kestrune_run] inittab append failed for %s\n", ext->name);
      return false;
    }
  }
  return true;
}

bool set_argv(const kestrune_state* state) {
  PyObject* argv = PyList_New(1);
  if (argv == nullptr) return false;
  PyObject* name = PyUnicode_FromString(state->program_name != nullptr ? state->program_name
                                                                       : "python");
  bool ok = name != nullptr && PyList_SetItem(argv, 0, name) == 0 &&
            PySys_SetObject("argv", argv) == 0;
  Py_DECREF(argv);
  return ok;
}

// The executable that runs this process, resolved, or NULL. Children that
// the program starts through sys.executable (multiprocessing's spawn and
// forkserver, its resource tracker) must run this executable too: it serves
// as their interpreter, while whatever python3 PATH finds first would not
// know the bundle's standard library.
char* own_executable() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return nullptr;
  return strndup(path, static_cast<size_t>(length));
}

bool set_executable() {
  char* path = own_executable();
  if (path == nullptr) return true;  // no /proc: CPython's own guess stays
  PyObject* executable = PyUnicode_DecodeFSDefault(path);
  std::free(path);
  bool ok = executable != nullptr && PySys_SetObject("executable", executable) == 0 &&
            PySys_SetObject("_base_executable", executable) == 0;
  Py_XDECREF(executable);
  return ok;
}

// The home that CPython finds from the executable's own location: the
// nearest directory above the executable's that holds a standard library of
// this CPython where CPython looks for one (lib/pythonX.Y/os.py, or the
// archive lib/pythonXY.zip), as CPython searches for it: the bundle's root for
// its bin/runner, or the distribution's /usr where the bundle has no
// interpreter of its own (the Debian package built against the
// distribution's CPython); "" when there is none.
std::string executable_home() {
  char* executable = own_executable();
  if (executable == nullptr) return "";
  std::string home = executable;
  std::free(executable);
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return "";
  char stdlib[32], archive[32];
  std::snprintf(stdlib, sizeof stdlib, "/lib/python%d.%d/os.py", major, minor);
  std::snprintf(archive, sizeof archive, "/lib/python%d%d.zip", major, minor);
  // From the executable's directory's parent up to the root's children.
  if (home.rfind('/') == std::string::npos) return "";
  home.erase(home.rfind('/'));
  for (size_t slash; (slash = home.rfind('/')) != std::string::npos && slash > 0;) {
    home.erase(slash);
    for (const char* landmark : {stdlib, archive}) {
      if (access((home + landmark).c_str(), R_OK) == 0) return home;
    }
  }
  return "";
}

bool executable_sits_in_its_python_home() { return !executable_home().empty(); }

bool names_executable_home(const char* home) {
  const std::string own = executable_home();
  char* resolved = realpath(home, nullptr);
  bool same = resolved != nullptr && own == resolved;
  std::free(resolved);
  return same;
}

PyObject* new_path_list(const kestrune_state* state) {
  PyObject* paths = PyList_New(static_cast<Py_ssize_t>(state->module_path_count));
  if (paths == nullptr) return nullptr;
  for (size_t i = 0; i < state->module_path_count; ++i) {
    PyObject* path = PyUnicode_FromString(state->module_paths[i]);
    if (path == nullptr || PyList_SetItem(paths, static_cast<Py_ssize_t>(i), path) != 0) {
      Py_DECREF(paths);
      return nullptr;
    }
  }
  return paths;
}

// The session's own set-up, in a namespace of its own (the program's
// __main__ starts as python3's does), run after the standard streams and
// before the program:
// - Signals. The program's handlers run on its thread (see
//   signal_routing.cc), which _signal.signal and pthread_sigmask tell the
//   router about. Where the host handles a signal (the application ends on
//   SIGTERM, SIGINT and SIGHUP), "no Python handler" reads as SIG_DFL, the
//   application's default, so that a program can put back what it found.
//   os.kill of this process from the program's thread goes to that thread
//   itself, so that the handler has run when kill returns, as under python3.
//   A signal that the host ends the application on, sent by the program to
//   its own process (os.kill, raise_signal) with no handler of its own, ends
//   it within the call, as python3's default action does: the call waits
//   (at most 2 s) for the host's main loop to end the process.
//   Once the program's exit functions have run, the host's handling comes
//   back, before CPython resets the program's signals to SIG_DFL.
// - A child made by fork has no host main loop to end it on Ctrl-C: where the
//   host, not Python, handles SIGINT, the child gets Python's own handler and
//   so a KeyboardInterrupt, as a fork child of python3 does. Without it, a
//   pool worker killed outright while it holds the pool's queue lock leaves
//   its siblings waiting for ever.
// - PYTHONHOME, when it names this interpreter's own home, was meant for the
//   interpreter's start only: the processes that the program starts get the
//   environment that python3 would give them (runner finds the bundle's home
//   from its own location when the program runs it as an interpreter). So do
//   PYTHONPATH and PYTHONNOUSERSITE, which were changed for the start only.
constexpr const char kSessionSetUpSource[] =
    "import _signal, _thread, atexit, os, sys, time\n"
    "_orig_signal = _signal.signal\n"
    "_orig_getsignal = _signal.getsignal\n"
    "_orig_sigmask = _signal.pthread_sigmask\n"
    "_orig_kill = os.kill\n"
    "_orig_raise = _signal.raise_signal\n"
    "def _as_python_sees_it(signalnum, handler):\n"
    "    if handler is None and _host_claims(signalnum):\n"
    "        return _signal.SIG_DFL\n"
    "    return handler\n"
    "def signal(signalnum, handler, /):\n"
    "    old = _orig_signal(signalnum, handler)\n"
    "    _route(signalnum, handler)\n"
    "    return _as_python_sees_it(signalnum, old)\n"
    "def getsignal(signalnum, /):\n"
    "    return _as_python_sees_it(signalnum, _orig_getsignal(signalnum))\n"
    "def pthread_sigmask(how, mask, /):\n"
    "    old = _orig_sigmask(how, mask)\n"
    "    _note_blocked()\n"
    "    return old\n"
    "def _end_within_the_call(signalnum):\n"
    "    handler = _orig_getsignal(signalnum)\n"
    "    if (_host_claims(signalnum) and (handler is None or handler == _signal.SIG_DFL)\n"
    "            and signalnum not in _orig_sigmask(_signal.SIG_BLOCK, ())):\n"
    "        for _ in range(200):\n"
    "            time.sleep(0.01)\n"
    "def kill(pid, signal, /):\n"
    "    if (pid == os.getpid() and _on_program_thread()\n"
    "            and signal not in _orig_sigmask(_signal.SIG_BLOCK, ())):\n"
    "        _signal.pthread_kill(_thread.get_ident(), signal)\n"
    "    else:\n"
    "        _orig_kill(pid, signal)\n"
    "    if pid == os.getpid():\n"
    "        _end_within_the_call(signal)\n"
    "def raise_signal(signalnum, /):\n"
    "    _orig_raise(signalnum)\n"
    "    _end_within_the_call(signalnum)\n"
    "for _wrapper, _original in ((signal, _orig_signal), (getsignal, _orig_getsignal),\n"
    "                           (pthread_sigmask, _orig_sigmask), (kill, _orig_kill),\n"
    "                           (raise_signal, _orig_raise)):\n"
    "    _wrapper.__doc__ = _original.__doc__\n"
    "    _wrapper.__module__ = _original.__module__\n"
    "_signal.signal = signal\n"
    "_signal.getsignal = getsignal\n"
    "_signal.pthread_sigmask = pthread_sigmask\n"
    "_signal.raise_signal = raise_signal\n"
    "if 'signal' in sys.modules:\n"  // imported at the start (a .pth file): its own copy
    "    sys.modules['signal'].raise_signal = raise_signal\n"
    "os.kill = kill\n"
    "for _s in _signal.valid_signals():\n"
    "    if callable(_orig_getsignal(_s)):\n"
    "        _route(_s, _orig_getsignal(_s))\n"
    "def _interrupt_in_fork_child():\n"
    "    if _orig_getsignal(_signal.SIGINT) is None:\n"
    "        signal(_signal.SIGINT, _signal.default_int_handler)\n"
    "os.register_at_fork(after_in_child=_interrupt_in_fork_child)\n"
    "def _give_signals_back():\n"
    "    _drain()\n"
    "    for _s in _touched():\n"
    "        _orig_signal(_s, _signal.SIG_DFL)\n"
    "        _restore_host(_s)\n"
    "atexit.register(_give_signals_back)\n"
    "sys.orig_argv = [sys.executable, *sys.argv]\n"
    "def _give_back(name, value):\n"
    "    _set_process_environment(name, value)\n"
    "    if value is None:\n"
    "        os.environ._data.pop(name, None)\n"
    "    else:\n"
    "        os.environ._data[name] = value\n"
    "_home = os.environ.get('PYTHONHOME')\n"
    "if _home is not None and os.path.realpath(_home) == os.path.realpath(sys.base_prefix):\n"
    "    _give_back(b'PYTHONHOME', None)\n"
    "if _outside_pythonpath is not None:\n"
    "    _give_back(b'PYTHONPATH', _outside_pythonpath)\n"
    "if _no_user_site_set:\n"
    "    _give_back(b'PYTHONNOUSERSITE', None)\n";

// _set_process_environment(name, value): bytes, and bytes or None to unset.
// os.environ's own setters would call setenv while the host's threads run.
PyObject* py_set_process_environment(PyObject*, PyObject* args) {
  const char* name = nullptr;
  PyObject* value = nullptr;
  if (PyArg_ParseTuple(args, "yO:_set_process_environment", &name, &value) == 0) return nullptr;
  if (value != Py_None && !PyBytes_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "_set_process_environment: the value is bytes or None");
    return nullptr;
  }
  const bool done = value == Py_None ? process_environment_unset(name)
                                     : process_environment_set(name, PyBytes_AsString(value));
  if (!done) {
    PyErr_SetString(PyExc_OSError, "the process environment could not be changed");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef g_set_process_environment = {
    "_set_process_environment", py_set_process_environment, METH_VARARGS, nullptr};

void set_up_session(char* outside_pythonpath, bool no_user_site_set) {
  PyObject* scope = new_private_scope();
  PyObject* pythonpath = outside_pythonpath != nullptr
                             ? PyBytes_FromString(outside_pythonpath)
                             : Py_NewRef(Py_None);
  std::free(outside_pythonpath);
  PyObject* set_environment = PyCFunction_New(&g_set_process_environment, nullptr);
  bool ok = scope != nullptr && pythonpath != nullptr && set_environment != nullptr &&
            PyDict_SetItemString(scope, "_set_process_environment", set_environment) == 0 &&
            PyDict_SetItemString(scope, "_outside_pythonpath", pythonpath) == 0 &&
            PyDict_SetItemString(scope, "_no_user_site_set", no_user_site_set ? Py_True : Py_False) == 0 &&
            signal_routing_add_helpers(scope) == 0 &&
            run_in_scope(kSessionSetUpSource, "<kestrune_session>", scope);
  Py_XDECREF(set_environment);
  Py_XDECREF(pythonpath);
  Py_XDECREF(scope);
  if (!ok) PyErr_Print();
}

bool inject_module_paths(const kestrune_state* state) {
  PyObject* paths = new_path_list(state);
  PyObject* scope = paths != nullptr ? new_private_scope() : nullptr;
  bool ok = scope != nullptr && PyDict_SetItemString(scope, "_kestrune_paths", paths) == 0 &&
            run_in_scope(kModulePathSource, "<kestrune_module_paths>", scope);
  Py_XDECREF(scope);
  Py_XDECREF(paths);
  if (!ok) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    std::fputs("[kestrune_run] sys.path injection failed\n", stderr);
  }
  return ok;
}

// The exit status that python3 takes from a SystemExit (pending): its code
// when that is an integer (0 for None), else 1 after printing the code.
int32_t exit_status_of_system_exit() {
  PyObject* exception = PyErr_GetRaisedException();
  PyObject* code = PyObject_GetAttrString(exception, "code");
  if (code == nullptr) {
    PyErr_Clear();
    code = Py_NewRef(exception);
  }
  int32_t status = 1;
  if (code == Py_None) {
    status = 0;
  } else if (PyLong_Check(code)) {
    const long long value = PyLong_AsLongLong(code);
    if (value == -1 && PyErr_Occurred() != nullptr) PyErr_Clear();
    status = static_cast<int32_t>(value);  // truncated, as python3 does
  } else {
    PyObject* stderr_stream = PySys_GetObject("stderr");  // borrowed
    if (stderr_stream != nullptr && stderr_stream != Py_None &&
        PyFile_WriteObject(code, stderr_stream, Py_PRINT_RAW) == 0) {
      PyFile_WriteString("\n", stderr_stream);
    }
    PyErr_Clear();
  }
  Py_DECREF(code);
  Py_DECREF(exception);
  return status;
}

// What python3 writes out when its program has run, before an error report:
// standard error, then standard output, so that what the program printed
// comes before the traceback. Errors of the flushes are dropped; a pending
// exception stays pending.
void flush_standard_streams() {
  PyObject* pending = PyErr_GetRaisedException();
  for (const char* name : {"stderr", "stdout"}) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (stream == nullptr || stream == Py_None) continue;
    PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
  }
  PyErr_SetRaisedException(pending);
}

// Whether the program ended by an uncaught KeyboardInterrupt, which python3
// reports by dying by SIGINT.
bool g_ended_by_interrupt = false;

// The status of the program's end by the pending exception, as python3
// reports it: a SystemExit's own, else 1 after printing the traceback.
int32_t status_of_failure() {
  flush_standard_streams();
  if (PyErr_ExceptionMatches(PyExc_SystemExit)) return exit_status_of_system_exit();
  g_ended_by_interrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
  PyErr_Print();
  return 1;
}

// Runs source text in the namespace of __main__: 0, or the status of the
// exception that ended it.
int32_t run_in_main(const char* text, const char* file_name) {
  PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
  PyObject* globals = main_module != nullptr ? PyModule_GetDict(main_module) : nullptr;
  PyObject* code = globals != nullptr ? Py_CompileString(text, file_name, Py_file_input)
                                      : nullptr;
  PyObject* result = code != nullptr ? PyEval_EvalCode(code, globals, globals) : nullptr;
  Py_XDECREF(code);
  if (result == nullptr) return status_of_failure();
  Py_DECREF(result);
  flush_standard_streams();
  return 0;
}

int32_t run_source(const kestrune_state* state) {
  if (state->script_source == nullptr) return 1;
  return run_in_main(state->script_source, "<kestrune_script>");
}

// The whole file as a NUL-ended text, or NULL.
char* read_open_file(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return nullptr;
  long length = std::ftell(file);
  // LONG_MAX leaves no room for the terminator (a directory reports it).
  if (length < 0 || length == LONG_MAX) return nullptr;
  std::rewind(file);
  auto* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) return nullptr;
  if (std::fread(text, 1, static_cast<size_t>(length), file) != static_cast<size_t>(length)) {
    std::free(text);
    return nullptr;
  }
  text[length] = '\0';
  return text;
}

// What python3 gives a script it runs: its absolute path in __file__, so that
// spawn and forkserver children can load the functions it defines, and a
// source loader for it, through which inspect and linecache find its text.
bool set_main_file(const char* script_path) {
  PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
  PyObject* globals = main_module != nullptr ? PyModule_GetDict(main_module) : nullptr;
  if (globals == nullptr) return false;
  PyObject* given = PyUnicode_DecodeFSDefault(script_path);
  PyObject* os_path = given != nullptr ? PyImport_ImportModule("os.path") : nullptr;
  PyObject* path =
      os_path != nullptr ? PyObject_CallMethod(os_path, "abspath", "O", given) : nullptr;
  PyObject* machinery = path != nullptr ? PyImport_ImportModule("importlib.machinery") : nullptr;
  PyObject* loader = machinery != nullptr ? PyObject_CallMethod(machinery, "SourceFileLoader",
                                                                "sO", "__main__", path)
                                          : nullptr;
  bool ok = loader != nullptr && PyDict_SetItemString(globals, "__file__", path) == 0 &&
            PyDict_SetItemString(globals, "__cached__", Py_None) == 0 &&
            PyDict_SetItemString(globals, "__loader__", loader) == 0;
  Py_XDECREF(loader);
  Py_XDECREF(machinery);
  Py_XDECREF(path);
  Py_XDECREF(os_path);
  Py_XDECREF(given);
  return ok;
}

int32_t run_file(const kestrune_state* state) {
  if (state->script_path == nullptr) return 1;
  // Not inherited: nothing the program starts sees the descriptor.
  std::FILE* file = std::fopen(state->script_path, "rbe");
  if (file == nullptr) {
    std::fprintf(stderr, "[kestrune_run] cannot open %s\n", state->script_path);
    return 1;
  }
  // Closed before the program runs, as python3 closes it.
  char* text = read_open_file(file);
  std::fclose(file);
  int32_t result = 1;
  if (text != nullptr && set_main_file(state->script_path)) {
    // Compiled under the script's own path, so tracebacks name it.
    result = run_in_main(text, state->script_path);
  } else if (text != nullptr) {
    PyErr_Print();
  }
  std::free(text);
  return result;
}

// Ends the session's interpreter; python3's status 120 when it cannot
// flush the standard streams (a closed pipe) replaces `status`.
int32_t finalize_session(bool clear_handlers, int32_t status) {
  python_gate_close();
  if (clear_handlers) norvale_clear_handlers();
  if (Py_FinalizeEx() < 0) status = 120;
  signal_routing_end();
  return status;
}

// Signals that reached the program just before its end are handled, as they
// would have been had it gone on: `status`, or the status their handler
// ended it with.
int32_t handle_late_signals(int32_t status) {
  signal_routing_drain();
  return PyErr_CheckSignals() == 0 ? status : status_of_failure();
}

// A child that the program made with fork and that ran on to the program's
// end ends there, as python3's does, with no host to report to.
[[noreturn]] void end_fork_child(int32_t status) {
  norvale_clear_handlers();
  if (Py_FinalizeEx() < 0) status = 120;
  if (g_ended_by_interrupt) {
    std::fflush(nullptr);
    signal(SIGINT, SIG_DFL);
    kill(getpid(), SIGINT);
  }
  std::exit(status);
}

int32_t run_fresh_session(const kestrune_state* state) {
  if (!register_builtin_modules()) return 1;
  bool no_user_site_set = false;
  char* outside_pythonpath = keep_outside_paths_out(state, &no_user_site_set);
  choose_utf8_mode();
  Py_Initialize();
  if (!Py_IsInitialized()) {
    give_outside_paths_back(outside_pythonpath, no_user_site_set);
    std::fputs("[kestrune_run] Py_Initialize failed\n", stderr);
    return 1;
  }
  const pid_t session_process = getpid();
  g_ended_by_interrupt = false;
  norvale_install_stdio_redirect();
  signal_routing_begin();
  if (!set_argv(state) || !set_executable()) {
    give_outside_paths_back(outside_pythonpath, no_user_site_set);
    PyErr_Print();
    return finalize_session(false, 1);
  }
  set_up_session(outside_pythonpath, no_user_site_set);
  if (state->module_path_count > 0 && !inject_module_paths(state)) {
    return finalize_session(false, 1);
  }
  // Callers from outside come in only now: an interrupt or a delivery during
  // the start-up would break it half way.
  g_session_thread = PyThread_get_thread_ident();
  python_gate_open();
  int32_t status = state->mode == kModeSource ? run_source(state) : run_file(state);
  status = handle_late_signals(status);
  if (getpid() != session_process) end_fork_child(status);
  return finalize_session(true, status);
}

// The first pair named `variable` that has a value, parsed by strtoll's
// rules; 0 when there is none.
long long port_from_pairs(const kestrune_state* state, const char* variable) {
  for (size_t i = 0; i < state->env_count; ++i) {
    const char* name = state->env_names[i];
    const char* value = state->env_values[i];
    if (name == nullptr || value == nullptr || std::strcmp(name, variable) != 0) continue;
    return std::strtoll(value, nullptr, 10);
  }
  return 0;
}

// Hands the request's fresh ports to the running program.
int32_t reuse_running_session(const kestrune_state* state) {
  const char* labels[kMaxCollectedPorts];
  int64_t ports[kMaxCollectedPorts];
  int32_t count = 0;
  for (const known_port& entry : known) {
    if (count == kMaxCollectedPorts) break;
    long long port = port_from_pairs(state, entry.variable);
    if (port > 0) {
      labels[count] = entry.label;
      ports[count] = port;
      ++count;
    }
  }
  if (count > 0) norvale_signal_dart_session(count, labels, ports);
  return 0;
}

void* kestrune_worker(void* argument) {
  auto* state = static_cast<kestrune_state*>(argument);
  int32_t result = kestrune_run_python(state);
  Dart_PostInteger_Type post = Dart_PostInteger_DL;
  if (state->exit_port != 0 && post != nullptr) post(state->exit_port, result);
  kestrune_state_free(state);
  return nullptr;
}

}  // namespace

char** dup_string_array(const char* const* source, size_t* count) {
  *count = 0;
  if (source == nullptr) return nullptr;
  size_t n = 0;
  while (source[n] != nullptr) ++n;
  auto** copy = static_cast<char**>(std::calloc(n + 1, sizeof(char*)));
  if (copy == nullptr) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    copy[i] = strdup(source[i]);
    if (copy[i] == nullptr) {
      free_string_array(copy);
      return nullptr;
    }
  }
  *count = n;
  return copy;
}

kestrune_state* kestrune_state_copy(const kestrune_run_config* config) {
  if (config == nullptr) return nullptr;
  auto* state = static_cast<kestrune_state*>(std::calloc(1, sizeof(kestrune_state)));
  if (state == nullptr) return nullptr;
  state->mode = config->mode;
  state->exit_port = config->exit_port;
  state->script_path = dup_string(config->script_path);
  state->script_source = dup_string(config->script_source);
  state->program_name = dup_string(config->program_name);
  state->module_paths = dup_string_array(config->module_paths, &state->module_path_count);
  if (config->env_names != nullptr && config->env_values != nullptr) {
    size_t names = 0;
    size_t values = 0;
    state->env_names = dup_string_array(config->env_names, &names);
    state->env_values = dup_string_array(config->env_values, &values);
    state->env_count = names < values ? names : values;
  }
  return state;
}

void kestrune_state_free(kestrune_state* state) {
  if (state == nullptr) return;
  std::free(state->script_path);
  std::free(state->script_source);
  std::free(state->program_name);
  free_string_array(state->module_paths);
  free_string_array(state->env_names);
  free_string_array(state->env_values);
  std::free(state);
}

int32_t kestrune_run_python(const kestrune_state* state) {
  if (Py_IsInitialized()) {
    if (!apply_environment(state)) return 1;
    return reuse_running_session(state);
  }
  if (!apply_environment(state)) return 1;
  return run_fresh_session(state);
}

int32_t kestrune_run(const kestrune_run_config* config) {
  kestrune_state* state = kestrune_state_copy(config);
  if (state == nullptr) return -1;
  if (config->synchronous != 0) {
    int32_t result = kestrune_run_python(state);
    kestrune_state_free(state);
    return result;
  }
  pthread_t thread;
  if (pthread_create(&thread, nullptr, kestrune_worker, state) != 0) {
    kestrune_state_free(state);
    return -1;
  }
  pthread_detach(thread);
  return 0;
}

int32_t kestrune_register_extension(const char* name, kestrune_module_init init) {
  if (name == nullptr || init == nullptr) return -1;
  auto* ext = static_cast<registered_extension*>(std::calloc(1, sizeof(registered_extension)));
  if (ext == nullptr) return -1;
  ext->name = strdup(name);
  if (ext->name == nullptr) {
    std::free(ext);
    return -1;
  }
  ext->init = init;
  ext->next = g_registered_exts;
  g_registered_exts = ext;
  return 0;
}

int32_t kestrune_request_stop(void) {
  if (!Py_IsInitialized()) return -1;
  python_entry entry;
  if (!python_enter(&entry)) return -2;  // the session is ending already
  if (!signal_routing_python_handles(SIGINT)) {
    // No Python handler to run: an interrupt would be dropped, so raise
    // KeyboardInterrupt in the program's thread directly.
    PyThreadState_SetAsyncExc(g_session_thread, PyExc_KeyboardInterrupt);
  } else {
    PyErr_SetInterrupt();
  }
  python_leave(&entry);
  return 0;
}

void kestrune_finalize(void) {
  if (!Py_IsInitialized()) return;
  finalize_session(true, 0);
}

void kestrune_hard_exit(int32_t status) { _exit(status); }

int32_t kestrune_is_mp_invocation(int32_t argc, char** argv) {
  if (argv == nullptr || argc < 2) return 0;
  for (int32_t i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr) continue;
    if (std::strcmp(arg, "--multiprocessing-fork") == 0) return 1;
    if (std::strcmp(arg, "-c") != 0) continue;
    if (i == argc - 1) return 0;
    const char* code = argv[i + 1];
    if (code != nullptr && (starts_with(code, "from multiprocessing.") ||
                            starts_with(code, "import sys; from multiprocessing."))) {
      return 1;
    }
  }
  return 0;
}

int32_t kestrune_main(int32_t argc, char** argv) {
  unsetenv("PYTHONINSPECT");
  const bool own_home = executable_sits_in_its_python_home();
  const char* home = getenv("PYTHONHOME");
  if (home != nullptr && own_home && names_executable_home(home)) {
    // CPython finds this home by itself, and the processes that the program
    // starts must not inherit it: a python3 among them would take the
    // bundle's standard library for its own.
    unsetenv("PYTHONHOME");
    home = nullptr;
  }
  if (home == nullptr && getenv("PYTHONPATH") == nullptr && !own_home) {
    std::fputs(
        "[kestrune_main] neither PYTHONHOME nor PYTHONPATH is set; the embedded stdlib "
        "cannot be located. multiprocessing children must inherit the host app's "
        "environment.\n",
        stderr);
    return 64;
  }
  if (PyImport_AppendInittab("norvale", PyInit_norvale) != 0) {
    std::fputs("[kestrune_main] inittab append failed for norvale\n", stderr);
  }
  if (!own_home) return Py_BytesMain(argc, argv);
  // The application's own interpreter: nothing from outside the bundle, as
  // in its session; -s keeps the user's site-packages out and passes on to
  // the interpreters that multiprocessing starts from here.
  unsetenv("PYTHONPATH");
  std::vector<char*> arguments(argv, argv + argc);
  char no_user_site[] = "-s";
  arguments.insert(arguments.begin() + (argc > 0 ? 1 : 0), no_user_site);
  arguments.push_back(nullptr);
  return Py_BytesMain(static_cast<int>(arguments.size() - 1), arguments.data());
}
