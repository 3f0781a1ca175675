#ifndef NORVALE_NORVALE_INTERNAL_H_
#define NORVALE_NORVALE_INTERNAL_H_

// What the library's units share and the tests of its internals reach;
// nothing here is exported.

#include <cstddef>
#include <cstdint>

#include "norvale.h"

// The library's private copy of one run request. Nothing in it points into
// the caller's memory; one thread owns it at a time.
struct kestrune_state {
  int32_t mode;              // 1: run script_source; else run script_path
  char* script_path;         // owned, or NULL
  char* script_source;       // owned, or NULL
  char* program_name;        // owned, or NULL ("python")
  char** module_paths;       // owned, NULL-ended, or NULL
  size_t module_path_count;  // entries before the terminator
  char** env_names;          // owned, NULL-ended, or NULL
  char** env_values;         // owned, NULL-ended, or NULL
  size_t env_count;          // pairs to apply
  int64_t exit_port;         // 0: no result is posted
};

// Deep copy of a NULL-ended string array; NULL for a NULL source or when
// memory runs out (then *count is 0).
char** dup_string_array(const char* const* source, size_t* count);

// The copy that kestrune_run makes of a configuration: NULL for a NULL
// configuration or when the record cannot be allocated. Members that cannot
// be copied stay absent.
kestrune_state* kestrune_state_copy(const kestrune_run_config* config);

void kestrune_state_free(kestrune_state* state);

// Carries out one run request on the calling thread: 0 when the program ran
// to its end (or was handed fresh ports), 1 on any failure.
int32_t kestrune_run_python(const kestrune_state* state);

// ---- Entering the interpreter from outside Python ----------------------------

// A thread's stay inside the running interpreter, holding its lock.
struct gate_count;
struct python_entry {
  gate_count* count;  // the session's callers, which this one joined
  bool cached;        // entered with the thread's own kept thread state
  int gil_state;      // otherwise the PyGILState_STATE to hand back
};

// Takes the interpreter lock for a thread that may have no Python thread
// state. false, without touching Python, when there is no interpreter to
// enter: none is initialised, or its session has started to end.
bool python_enter(python_entry* entry);
// Hands the lock back; every successful python_enter is paired with one.
void python_leave(python_entry* entry);

// After an interpreter start, on the starting thread, when the program is
// about to run: lets callers in.
void python_gate_open(void);
// Where a session ends, before its handlers are cleared and the interpreter
// is finalised, on a thread that holds the lock: turns later callers back
// and waits, with the lock handed over, for the callers inside.
void python_gate_close(void);

// ---- The bridge's own Python code --------------------------------------------------

// A namespace of its own for code of the bridge, so that none of its names
// reach the program's __main__; NULL with a Python error.
PyObject* new_private_scope(void);
// Runs `source` in `scope`; false with a Python error.
bool run_in_scope(const char* source, const char* file_name, PyObject* scope);

// ---- The process environment -------------------------------------------------

// setenv and unsetenv for a process whose other threads may read the
// environment meanwhile; false for a name that is empty or holds '=', or
// when memory runs out.
bool process_environment_set(const char* name, const char* value);
bool process_environment_unset(const char* name);

// ---- The program's signals -----------------------------------------------------

// At a fresh start, on the program's thread, before the program runs: notes
// what the host does with every signal, and which thread is the program's.
void signal_routing_begin(void);
// After the interpreter is finalised: the host's dispositions again.
void signal_routing_end(void);
// Whether the program has a Python handler for `sig`.
bool signal_routing_python_handles(int sig);
// On the program's thread, holding the lock: lets signals that are being
// passed on to this thread arrive (bounded), so that their handlers can run.
void signal_routing_drain(void);
// Binds the functions that the session's set-up code calls into `scope`;
// 0, or -1 with a Python error.
int signal_routing_add_helpers(PyObject* scope);

#endif  // NORVALE_NORVALE_INTERNAL_H_
